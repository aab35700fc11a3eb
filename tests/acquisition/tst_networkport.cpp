// SPDX-License-Identifier: MIT
// The serial worker opening socket:// and rfc2217:// ports: through a real ser2net on the loopback
// that exports a pseudo-terminal, and against a TCP server of the test's own for the faults ser2net
// cannot be made to show. Nothing listens anywhere but on 127.0.0.1.
#include "framesupport.h"
#include "networklink.h"
#include "pseudoterminal.h"
#include "qtwarnings.h"
#include "rfc2217codec.h"
#include "ser2netserver.h"
#include "serialport.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Kind = Ser2NetServer::Kind;
using C = Rfc2217Codec;

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int value : values)
        out.append(char(value));
    return out;
}

QByteArray command(int verb, int option)
{
    return bytes({C::IAC, verb, option});
}

// A com port answer from the server: the command's code + 100, then its value.
QByteArray comPortAnswer(int command, const QByteArray &value)
{
    QByteArray out = bytes({C::IAC, C::SB, C::ComPortOption, C::ServerOffset + command});
    for (char byte : value) {
        out.append(byte);
        if (uint8_t(byte) == C::IAC)
            out.append(byte);
    }
    return out + bytes({C::IAC, C::SE});
}

// What a server that takes up the com port option answers to the line settings.
QByteArray confirmations(
    uint32_t baudRate = 115200, int dataSize = 8, int parity = 1, int stopSize = 1, int control = 3)
{
    const QByteArray rate = bytes({int(baudRate >> 24) & 0xFF, int(baudRate >> 16) & 0xFF,
        int(baudRate >> 8) & 0xFF, int(baudRate) & 0xFF});
    return command(C::DO, C::ComPortOption) + comPortAnswer(C::SetBaudRate, rate)
        + comPortAnswer(C::SetDataSize, QByteArray(1, char(dataSize)))
        + comPortAnswer(C::SetParity, QByteArray(1, char(parity)))
        + comPortAnswer(C::SetStopSize, QByteArray(1, char(stopSize)))
        + comPortAnswer(C::SetControl, QByteArray(1, char(control)));
}

// The board's bytes as a telnet server sends them: every 0xFF doubled.
QByteArray escaped(const QByteArray &data)
{
    QByteArray out;
    for (char byte : data) {
        out.append(byte);
        if (uint8_t(byte) == 0xFF)
            out.append(byte);
    }
    return out;
}

// A frame of 0xFF bytes wherever a value is: -1 in every sample and spectrum value.
FrameValues allOnesFrame(int samples)
{
    FrameValues values;
    values.byte3 = 0xFF;
    values.i.assign(size_t(samples), -1);
    values.q.assign(size_t(samples), -1);
    values.s.assign(size_t(samples), -1);
    return values;
}

struct Worker {
    FrameCollector collector;
    QStringList lost;
    std::unique_ptr<SerialPort> worker = std::make_unique<SerialPort>();

    Worker()
    {
        collector.listenTo(worker.get());
        QObject::connect(
            worker.get(), &SerialPort::signalComPortLost, &collector,
            [this](const QString &reason) { lost.append(reason); }, Qt::QueuedConnection);
    }
    bool open(const QString &name)
    {
        const int before = collector.readyCount;
        worker->openPort(name, LineSettings::kBaudRate);
        return collector.readyCount == before + 1;
    }
};

// The far end's settings, as the pseudo-terminal holds them.
struct LineState {
    speed_t speed = 0;
    bool hardwareFlow = false;
};

LineState lineState(const QString &path)
{
    LineState state;
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios settings{};
    if (fd >= 0 && ::tcgetattr(fd, &settings) == 0) {
        state.speed = ::cfgetospeed(&settings);
        state.hardwareFlow = (settings.c_cflag & CRTSCTS) != 0;
    }
    if (fd >= 0)
        ::close(fd);
    return state;
}

// A TCP server on 127.0.0.1 with a script, on a thread of its own: the worker's open blocks the
// test thread, and an RFC 2217 server must answer meanwhile.
class ScriptedServer : public QObject {
public:
    struct Script {
        bool telnet = false; // answers the client's first bytes with `answer`, once
        QByteArray payload; // sent after that (escaped for telnet)
        bool closeAfter = false; // then closes; else stays connected and silent
        QByteArray answer = confirmations(); // raw telnet bytes
        // Raw telnet bytes sent when the client first asks for the baud rate: a question only an
        // open link asks, so they reach the link after its open.
        QByteArray tail = {};
    };

    explicit ScriptedServer(const Script &script)
        : script(script)
    {
        moveToThread(&thread);
        thread.start();
        QMetaObject::invokeMethod(
            this,
            [this] {
                server = new QTcpServer(this);
                connect(server, &QTcpServer::newConnection, this, &ScriptedServer::onConnection);
                server->listen(QHostAddress::LocalHost, 0);
                port = server->serverPort();
            },
            Qt::BlockingQueuedConnection);
    }
    ~ScriptedServer() override
    {
        QMetaObject::invokeMethod(
            this, [this] { qDeleteAll(children()); }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }

    // Every byte the client sent to a telnet script.
    QByteArray heard() const
    {
        QMutexLocker lock(&heardMutex);
        return heardBytes;
    }

    QString url() const
    {
        return QStringLiteral("%1://127.0.0.1:%2")
            .arg(script.telnet ? "rfc2217" : "socket")
            .arg(port);
    }

private:
    void onConnection()
    {
        QTcpSocket *socket = server->nextPendingConnection();
        socket->setParent(this);
        if (!script.telnet) {
            play(socket);
            return;
        }
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            const QByteArray bytes = socket->readAll();
            {
                QMutexLocker lock(&heardMutex);
                heardBytes.append(bytes);
            }
            if (negotiated) {
                // Probes go unanswered from here on.
                if (!tailSent && heard().contains(C::baudRateQuery())) {
                    tailSent = true;
                    socket->write(script.tail);
                }
                return;
            }
            negotiated = true;
            socket->write(script.answer);
            play(socket);
        });
    }
    void play(QTcpSocket *socket)
    {
        socket->write(script.telnet ? escaped(script.payload) : script.payload);
        socket->flush();
        if (script.closeAfter)
            socket->disconnectFromHost();
    }

    Script script;
    QThread thread;
    QTcpServer *server = nullptr;
    quint16 port = 0;
    bool negotiated = false;
    bool tailSent = false;
    mutable QMutex heardMutex;
    QByteArray heardBytes;
};

} // namespace

class TestNetworkPort : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        registerFrameMetaType();
        watchQtWarnings(WarningWatch::Everything);
    }

    void init() { takeQtWarnings(); }

    void cleanup()
    {
        const QStringList warnings = takeQtWarnings();
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
    }

    void streamsThroughSer2net_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::newRow("socket://") << Kind::Raw;
        QTest::newRow("rfc2217://") << Kind::Rfc2217;
    }

    void streamsThroughSer2net()
    {
        // Every frame the board writes arrives once and whole, 0xFF values included, in the sizes
        // and with the pauses a board has.
        QFETCH(Kind, kind);
        PseudoTerminal line;
        Ser2NetServer server;
        QString error;
        QVERIFY2(server.start(line.slavePath(), kind, &error), qPrintable(error));
        Worker w;
        QVERIFY2(w.open(server.url()), qPrintable(w.worker->openErrorString()));
        QCOMPARE(w.worker->status().name, server.url());
        if (kind == Kind::Rfc2217) {
            // ser2net was told 9600 baud; the open set the board's 115200 with RTS/CTS on it.
            const LineState state = lineState(line.slavePath());
            QCOMPARE(state.speed, speed_t(B115200));
            QVERIFY(state.hardwareFlow);
        }
        QList<frame_t> expected;
        int number = 0;
        for (int samples : {16, 24, 64, 255, 128, 0}) {
            for (int k = 0; k < 5; ++k, ++number) {
                const FrameValues values = k == 2 ? allOnesFrame(samples)
                                                  : numberedFrame(number, samples, uint8_t(k % 2));
                expected.append(expectedRecord(values));
                QVERIFY(line.write(encodeFrame(values)));
            }
            QTest::qWait(60); // a pause: the last frames below the decode gate come out on quiet
        }
        QTRY_COMPARE_WITH_TIMEOUT(w.collector.frames.size(), expected.size(), 10000);
        QCOMPARE(w.collector.frames, expected);
        if (kind == Kind::Raw)
            QCOMPARE(
                lineState(line.slavePath()).speed, speed_t(B9600)); // raw TCP carries no settings
        QCOMPARE(w.worker->status().framesRejected, uint64_t(0));
        QCOMPARE(w.worker->status().bytesDropped, uint64_t(0));
        QVERIFY(w.lost.isEmpty());
        QCOMPARE(line.readAvailable(), QByteArray()); // nothing reaches the board but settings
        if (kind == Kind::Rfc2217) {
            // A board that pauses longer than the silence limit is no lost line: ser2net answers
            // the baud-rate question asked of a silent server.
            QTest::qWait(NetworkLink::kSilenceLimitMs + 1500);
            QVERIFY2(w.lost.isEmpty(), qPrintable(w.lost.join('\n')));
            QVERIFY(w.worker->status().open);
            QCOMPARE(line.readAvailable(), QByteArray());
        }
        w.worker->closePort();
        QVERIFY(!w.worker->status().open);
    }

    void stoppingSer2netLosesTheLineAndTheNextConnectionStartsClean_data()
    {
        streamsThroughSer2net_data();
    }

    void stoppingSer2netLosesTheLineAndTheNextConnectionStartsClean()
    {
        QFETCH(Kind, kind);
        PseudoTerminal line;
        auto server = std::make_unique<Ser2NetServer>();
        QString error;
        QVERIFY2(server->start(line.slavePath(), kind, &error), qPrintable(error));
        Worker w;
        QVERIFY2(w.open(server->url()), qPrintable(w.worker->openErrorString()));
        const FrameValues first = numberedFrame(1, 64, 0);
        QVERIFY(line.write(encodeFrame(first)));
        QTRY_COMPARE(w.collector.frames.size(), 1);
        // Half a frame reaches the worker, then the server goes.
        const QByteArray broken = encodeFrame(numberedFrame(2, 64, 0));
        const uint64_t before = w.worker->status().bytesReceived;
        QVERIFY(line.write(broken.left(200)));
        QTRY_COMPARE(w.worker->status().bytesReceived, before + 200);
        server->stop();
        QTRY_COMPARE_WITH_TIMEOUT(w.lost.size(), 1, 10000);
        QVERIFY2(w.lost.first().contains("server closed the connection")
                || w.lost.first().contains("reset"),
            qPrintable(w.lost.first()));
        QVERIFY(!w.worker->status().open);
        qInfo("lost: %s", qPrintable(w.lost.first()));
        // A new server on the same line: its first frame comes alone, nothing of the half joins it.
        server = std::make_unique<Ser2NetServer>();
        QVERIFY2(server->start(line.slavePath(), kind, &error), qPrintable(error));
        QVERIFY2(w.open(server->url()), qPrintable(w.worker->openErrorString()));
        const FrameValues fresh = allOnesFrame(24);
        QVERIFY(line.write(encodeFrame(fresh)));
        QTRY_COMPARE(w.collector.frames.size(), 2);
        QCOMPARE(
            w.collector.frames, (QList<frame_t>{expectedRecord(first), expectedRecord(fresh)}));
        QCOMPARE(w.lost.size(), 1);
    }

    void openFailures_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("scripted"); // the name is the scripted server's
        QTest::addColumn<bool>("telnet");
        QTest::addColumn<bool>("closes");
        QTest::addColumn<QByteArray>("answer"); // a telnet script's answer to the client's opening
        QTest::addColumn<QString>("reason");
        const QString refused
            = QStringLiteral("socket://127.0.0.1:%1").arg(Ser2NetServer::freePort());
        QTest::newRow("connection refused")
            << refused << false << false << false << QByteArray() << "refused";
        QTest::newRow("host not found")
            << "rfc2217://vazorez-no-such-host.invalid:4000" << false << false << false
            << QByteArray() << "vazorez-no-such-host.invalid";
        QTest::newRow("no port number") << "socket://127.0.0.1" << false << false << false
                                        << QByteArray() << "expected socket://";
        // A publisher's frames (zmq+tcp://) are checked by the same rule before any connection.
        QTest::newRow("publisher without a port number")
            << "zmq+tcp://127.0.0.1" << false << false << false << QByteArray()
            << "expected zmq+tcp://HOST:PORT or zmq+ipc://PATH";
        QTest::newRow("publisher at a port beyond TCP's")
            << "zmq+tcp://127.0.0.1:70000" << false << false << false << QByteArray()
            << "70000 is not a TCP port number";
        QTest::newRow("rfc2217 server that accepts and says nothing")
            << QString() << true << false << false << QByteArray()
            << "did not confirm the line settings within 5 s";
        // A stop (Ctrl-C) while the server keeps the open waiting ends the wait at once; it used
        // to take the whole 5 s.
        QTest::newRow("rfc2217 server that says nothing, open abandoned by a stop")
            << QString() << true << false << false << QByteArray() << "the open was abandoned";
        QTest::newRow("rfc2217 on a server that hangs up at once")
            << QString() << true << false << true << QByteArray() << "closed the connection";
        // A far port at any other setting than the board's would give nothing but rejected frames.
        QTest::newRow("rfc2217 server that keeps another rate")
            << QString() << true << true << false << confirmations(9600)
            << "the server runs the port at 9600 baud, not 115200";
        QTest::newRow("rfc2217 server that sets 7 data bits")
            << QString() << true << true << false << confirmations(115200, 7)
            << "the server set 7 data bits, not 8";
        QTest::newRow("rfc2217 server that sets even parity")
            << QString() << true << true << false << confirmations(115200, 8, 3)
            << "the server set even parity, not none";
        QTest::newRow("rfc2217 server that sets 2 stop bits")
            << QString() << true << true << false << confirmations(115200, 8, 1, 2)
            << "the server set 2 stop bits, not 1";
        QTest::newRow("rfc2217 server that sets XON/XOFF")
            << QString() << true << true << false << confirmations(115200, 8, 1, 1, 2)
            << "the server set XON/XOFF flow control, not RTS/CTS";
        // Without binary transfer a server stuffs a NUL after each CR: frames would change.
        QTest::newRow("rfc2217 server that refuses to send binary")
            << QString() << true << true << false << command(C::WONT, C::Binary) + confirmations()
            << "the server refuses binary transfer from the port (it sent WONT BINARY)";
        QTest::newRow("rfc2217 server that refuses to take binary")
            << QString() << true << true << false << command(C::DONT, C::Binary) + confirmations()
            << "the server refuses binary transfer to the port (it sent DONT BINARY)";
        // The board's data would vanish into a subnegotiation that never ends.
        QTest::newRow("rfc2217 server whose subnegotiation never ends")
            << QString() << true << true << false
            << command(C::DO, C::ComPortOption) + bytes({C::IAC, C::SB, C::ComPortOption, 106})
                + QByteArray(1 << 20, 'x')
            << "the server sent a subnegotiation of more than 512 bytes without its end (IAC SE)";
        QTest::newRow("rfc2217 server that floods data before it confirms")
            << QString() << true << true << false
            << command(C::DO, C::ComPortOption) + QByteArray(300 * 1024, 'x')
            << "the server sent more than 256 KiB of data before it confirmed the line settings";
        QTest::newRow("rfc2217 server that switches an option without end")
            << QString() << true << true << false
            << (command(C::DONT, C::SuppressGoAhead) + command(C::DO, C::SuppressGoAhead))
                    .repeated(1000)
                + confirmations()
            << "the server keeps switching telnet option 3 on and off (a negotiation loop)";
    }

    void openFailures()
    {
        // Each gives one failure with its reason, within the open's 5 s, and leaves nothing open.
        QFETCH(QString, name);
        QFETCH(bool, scripted);
        QFETCH(bool, telnet);
        QFETCH(bool, closes);
        QFETCH(QByteArray, answer);
        QFETCH(QString, reason);
        std::unique_ptr<ScriptedServer> server;
        if (scripted) {
            // Asked for RFC 2217: a plain server never answers the settings.
            server = std::make_unique<ScriptedServer>(
                ScriptedServer::Script{telnet, {}, closes, answer});
            name = server->url().replace("socket://", "rfc2217://");
        }
        Worker w;
        std::atomic<bool> stopAsked{false};
        std::thread stopper;
        if (reason == "the open was abandoned") {
            NetworkLink::abandonOpensWhen([&stopAsked] { return stopAsked.load(); });
            stopper = std::thread([&stopAsked] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                stopAsked = true;
            });
        }
        QElapsedTimer timer;
        timer.start();
        const bool opened = w.open(name);
        if (stopper.joinable()) {
            stopper.join();
            NetworkLink::abandonOpensWhen(nullptr);
        }
        QVERIFY(!opened);
        QVERIFY2(timer.elapsed() < 8000, "an open gives up after 5 s");
        QCOMPARE(w.collector.failureCount, 1);
        QVERIFY2(
            w.worker->openErrorString().contains(reason), qPrintable(w.worker->openErrorString()));
        qInfo("%s: %s (after %.1f s)", qPrintable(name), qPrintable(w.worker->openErrorString()),
            timer.elapsed() / 1000.0);
        QVERIFY(!w.worker->status().open);
    }

    void faultsAfterOpen_data()
    {
        QTest::addColumn<bool>("telnet");
        QTest::addColumn<bool>("closes");
        QTest::addColumn<QByteArray>("tail"); // raw telnet bytes once the link is open
        QTest::addColumn<QString>("reason"); // empty: the link stays open, like a quiet board's
        // What the client answers to the tail only once, and its answer to the tail's last
        // request: once that is heard, all before it has been read.
        QTest::addColumn<QByteArray>("once");
        QTest::addColumn<QByteArray>("last");
        const QByteArray none;
        QTest::newRow("socket://, dropped mid-frame")
            << false << true << none << "the server closed the connection" << none << none;
        QTest::newRow("rfc2217://, dropped mid-frame")
            << true << true << none << "the server closed the connection" << none << none;
        QTest::newRow("rfc2217://, server stops answering")
            << true << false << none << "the server stopped answering" << none << none;
        QTest::newRow("socket://, server accepts and sends nothing more")
            << false << false << none << QString() << none << none;
        // Answering each request again would queue answers without end.
        QTest::newRow("rfc2217://, a flood of requests for an option refused")
            << true << false << command(C::DO, 99).repeated(100000) + command(C::DO, 98)
            << QString() << command(C::WONT, 99) << command(C::WONT, 98);
        QTest::newRow("rfc2217://, binary switched off")
            << true << false << command(C::WONT, C::Binary)
            << "the server refuses binary transfer from the port (it sent WONT BINARY)" << none
            << none;
        QTest::newRow("rfc2217://, far port switched to another rate")
            << true << false << comPortAnswer(C::SetBaudRate, QByteArray("\0\0\x25\x80", 4))
            << "the server runs the port at 9600 baud, not 115200" << none << none;
        // The link would look alive while every byte after it vanished.
        QTest::newRow("rfc2217://, a subnegotiation that never ends")
            << true << false
            << bytes({C::IAC, C::SB, C::ComPortOption, 106}) + QByteArray(1 << 20, 'x')
            << "the server sent a subnegotiation of more than 512 bytes without its end (IAC SE)"
            << none << none;
    }

    void faultsAfterOpen()
    {
        QFETCH(bool, telnet);
        QFETCH(bool, closes);
        QFETCH(QByteArray, tail);
        QFETCH(QString, reason);
        QFETCH(QByteArray, once);
        QFETCH(QByteArray, last);
        // One whole frame (its values all 0xFF), then half of the next.
        const FrameValues whole = allOnesFrame(16);
        const QByteArray payload
            = encodeFrame(whole) + encodeFrame(numberedFrame(5, 64, 1)).left(300);
        auto server = std::make_unique<ScriptedServer>(
            ScriptedServer::Script{telnet, payload, closes, confirmations(), tail});
        Worker w;
        QVERIFY2(w.open(server->url()), qPrintable(w.worker->openErrorString()));
        QTRY_COMPARE(w.collector.frames.size(), 1);
        QCOMPARE(w.collector.frames.first(), expectedRecord(whole));
        if (reason.isEmpty()) {
            // Nothing tells a silent raw server from a board that pauses: the line stays open.
            QTest::qWait(1500);
            QVERIFY(w.lost.isEmpty());
            QVERIFY(w.worker->status().open);
            if (!last.isEmpty()) {
                QTRY_VERIFY(server->heard().contains(last));
                QCOMPARE(server->heard().count(once), 1);
            }
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(w.lost.size(), 1, 10000);
            QVERIFY2(w.lost.first().contains(reason), qPrintable(w.lost.first()));
            qInfo("lost: %s", qPrintable(w.lost.first()));
            QVERIFY(!w.worker->status().open);
        }
        // The next connection's frames are its own: the half frame does not join them, and the
        // first server going away afterwards is no loss of the second.
        const FrameValues next = numberedFrame(6, 24, 0);
        auto second = std::make_unique<ScriptedServer>(
            ScriptedServer::Script{telnet, encodeFrame(next), false});
        QVERIFY2(w.open(second->url()), qPrintable(w.worker->openErrorString()));
        server.reset();
        QTRY_COMPARE(w.collector.frames.size(), 2);
        QCOMPARE(w.collector.frames.last(), expectedRecord(next));
        QCOMPARE(w.worker->status().bytesDropped, uint64_t(0));
        QCOMPARE(w.lost.size(), reason.isEmpty() ? 0 : 1);
        w.worker->closePort();
    }
};

QTEST_GUILESS_MAIN(TestNetworkPort)
#include "tst_networkport.moc"
