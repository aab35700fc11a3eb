// SPDX-License-Identifier: MIT
#include "ser2netserver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QThread>

Ser2NetServer::~Ser2NetServer()
{
    stop();
}

quint16 Ser2NetServer::freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool Ser2NetServer::isListening(quint16 port)
{
    // Lines of /proc/net/tcp: "sl local_address rem_address st ...", addresses as hex IP:PORT,
    // state 0A for a listening socket.
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local = QByteArrayLiteral("0100007F:")
        + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1] == local && fields[3] == "0A")
            return true;
    }
    return false;
}

bool Ser2NetServer::start(const QString &device, Kind wanted, QString *error)
{
    kind = wanted;
    // Debian puts it in /usr/sbin, outside a user's PATH.
    QString program = QStandardPaths::findExecutable(QStringLiteral("ser2net"));
    if (program.isEmpty())
        program = QStandardPaths::findExecutable(
            QStringLiteral("ser2net"), {"/usr/sbin", "/usr/local/sbin"});
    if (program.isEmpty()) {
        *error
            = QStringLiteral("ser2net is not installed (scripts/install-deps.sh test installs it)");
        return false;
    }
    tcpPort = freePort();
    const QString configPath = directory.filePath(QStringLiteral("ser2net.yaml"));
    QFile config(configPath);
    if (!directory.isValid() || tcpPort == 0 || !config.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1").arg(configPath);
        return false;
    }
    const QString accepter = kind == Kind::Rfc2217
        ? QStringLiteral("telnet(rfc2217),tcp,127.0.0.1,%1")
        : QStringLiteral("tcp,127.0.0.1,%1");
    config.write(QStringLiteral("connection: &board\n"
                                "  accepter: %1\n"
                                "  connector: serialdev,%2,9600n81,local\n")
                     .arg(accepter.arg(tcpPort), device)
                     .toUtf8());
    config.close();
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, {"-n", "-d", "-c", configPath, "-P", directory.filePath("ser2net.pid")});
    QElapsedTimer timer;
    timer.start();
    while (!isListening(tcpPort)) {
        if (process.state() == QProcess::NotRunning || timer.elapsed() > 5000) {
            *error = QStringLiteral("ser2net did not listen on 127.0.0.1:%1: %2")
                         .arg(tcpPort)
                         .arg(output());
            stop();
            return false;
        }
        process.waitForReadyRead(20);
    }
    return true;
}

void Ser2NetServer::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

QString Ser2NetServer::url() const
{
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(kind == Kind::Rfc2217 ? "rfc2217" : "socket")
        .arg(tcpPort);
}

QString Ser2NetServer::output()
{
    printed += QString::fromLocal8Bit(process.readAll());
    return printed;
}
