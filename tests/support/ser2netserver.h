// SPDX-License-Identifier: MIT
// A real ser2net exporting a pseudo-terminal on the loopback, as a lab exports a board: started
// and stopped by the test, its configuration written by it, listening on 127.0.0.1 only.
#pragma once

#include <QMetaType>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class Ser2NetServer {
public:
    enum class Kind { Raw, Rfc2217 };

    Ser2NetServer() = default;
    ~Ser2NetServer();
    Ser2NetServer(const Ser2NetServer &) = delete;
    Ser2NetServer &operator=(const Ser2NetServer &) = delete;

    // Bridges `device` to a free TCP port on 127.0.0.1; the far port starts at 9600 baud, so that
    // a client's line settings show. Returns once ser2net listens; on failure sets `error`.
    bool start(const QString &device, Kind kind, QString *error);
    // Ends ser2net (SIGTERM, then SIGKILL), as a server that is switched off.
    void stop();

    quint16 port() const { return tcpPort; }
    // socket://127.0.0.1:PORT or rfc2217://127.0.0.1:PORT.
    QString url() const;
    // What ser2net printed so far.
    QString output();

    // A TCP port on 127.0.0.1 that nothing listens on at the moment of asking.
    static quint16 freePort();
    // Whether something listens on 127.0.0.1:`port`, read from the kernel's table rather than by
    // connecting (a connection would open the device and take the board's bytes).
    static bool isListening(quint16 port);

private:
    Kind kind = Kind::Raw;
    quint16 tcpPort = 0;
    QTemporaryDir directory;
    QProcess process;
    QString printed;
};

Q_DECLARE_METATYPE(Ser2NetServer::Kind)
