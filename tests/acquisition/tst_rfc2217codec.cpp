// SPDX-License-Identifier: MIT
// The telnet layer of an rfc2217:// port, bytes in, data and answers out.
#include "rfc2217codec.h"

#include <QtTest>

#include <random>

namespace {

using C = Rfc2217Codec;

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int value : values)
        out.append(char(value));
    return out;
}

// The board's bytes as a server sends them: every 0xFF doubled.
QByteArray escaped(const QByteArray &data)
{
    QByteArray out;
    for (char byte : data) {
        out.append(byte);
        if (uint8_t(byte) == C::IAC)
            out.append(byte);
    }
    return out;
}

// A codec that has made its opening, as the link does before reading.
C opened()
{
    C codec;
    codec.opening(115200);
    return codec;
}

struct Output {
    QByteArray data;
    QByteArray reply;
};

Output feed(C &codec, const QByteArray &in, int piece = 0)
{
    Output out;
    if (piece <= 0)
        piece = qMax(1, int(in.size()));
    for (int at = 0; at < in.size(); at += piece)
        codec.receive(in.constData() + at, qMin(piece, int(in.size()) - at), out.data, out.reply);
    return out;
}

const QByteArray kLineSettings = bytes({C::IAC, C::SB, 44, 1, 0x00, 0x01, 0xC2, 0x00, C::IAC, C::SE,
    C::IAC, C::SB, 44, 2, 8, C::IAC, C::SE, C::IAC, C::SB, 44, 3, 1, C::IAC, C::SE, C::IAC, C::SB,
    44, 4, 1, C::IAC, C::SE, C::IAC, C::SB, 44, 5, 3, C::IAC, C::SE});

} // namespace

class TestRfc2217Codec : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void openingOffersBinarySuppressGoAheadAndComPort()
    {
        C codec;
        QCOMPARE(codec.opening(115200),
            bytes({C::IAC, C::WILL, 0, C::IAC, C::DO, 0, C::IAC, C::WILL, 3, C::IAC, C::DO, 3,
                C::IAC, C::WILL, 44}));
    }

    void serverBytes_data()
    {
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("reply");
        // What ser2net 4 sends first, and its answers to the line settings, around board bytes.
        const QByteArray ser2netGreeting
            = bytes({C::IAC, C::WILL, 3, C::IAC, C::DO, 3, C::IAC, C::WILL, 1, C::IAC, C::DONT, 1,
                C::IAC, C::DO, 0, C::IAC, C::WILL, 0, C::IAC, C::DO, 44});
        QTest::newRow("plain data passes whole")
            << QByteArray("\x01\x02\xfe\x00", 4) << QByteArray("\x01\x02\xfe\x00", 4)
            << QByteArray();
        QTest::newRow("IAC IAC is one 0xFF data byte")
            << bytes({0x10, C::IAC, C::IAC, C::IAC, C::IAC, 0x20})
            << bytes({0x10, 0xFF, 0xFF, 0x20}) << QByteArray();
        QTest::newRow("ser2net's greeting: echo refused, settings sent once") << ser2netGreeting
                + bytes({0x42}) << bytes({0x42}) << bytes({C::IAC, C::DONT, 1}) + kLineSettings;
        QTest::newRow("an option we do not know is refused both ways")
            << bytes({C::IAC, C::DO, 24, C::IAC, C::WILL, 31}) << QByteArray()
            << bytes({C::IAC, C::WONT, 24, C::IAC, C::DONT, 31});
        QTest::newRow("an agreed option is not answered again (no echo loop)")
            << bytes({C::IAC, C::DO, 0, C::IAC, C::WILL, 0, C::IAC, C::DO, 0}) << QByteArray()
            << QByteArray();
        QTest::newRow("WONT binary is acknowledged once")
            << bytes({C::IAC, C::WONT, 0, C::IAC, C::WONT, 0}) << QByteArray()
            << bytes({C::IAC, C::DONT, 0});
        QTest::newRow("NOP, go-ahead and data mark carry no data")
            << bytes({1, C::IAC, 241, 2, C::IAC, 249, 3, C::IAC, 242, 4}) << bytes({1, 2, 3, 4})
            << QByteArray();
        QTest::newRow("notices in a subnegotiation carry no data") << bytes(
            {7, C::IAC, C::SB, 44, 107, 0x30, C::IAC, C::SE, 8, C::IAC, C::SB, 44, 106, C::IAC,
                C::IAC, C::IAC, C::SE, 9}) << bytes({7, 8, 9}) << QByteArray();
        QTest::newRow("a runaway subnegotiation is cut, the data after it kept")
            << bytes({C::IAC, C::SB, 44}) + QByteArray(5000, 'x') + bytes({C::IAC, C::SE, 0x55})
            << bytes({0x55}) << QByteArray();
    }

    void serverBytes()
    {
        // Every way of splitting the input across reads gives the same output: a command cut after
        // its IAC, its verb or inside a subnegotiation is finished by the next read.
        QFETCH(QByteArray, in);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, reply);
        for (int piece : {0, 1, 2, 3, 7}) {
            C codec = opened();
            const Output out = feed(codec, in, piece);
            QCOMPARE(out.data, data);
            QCOMPARE(out.reply, reply);
        }
    }

    void confirmationsAreRead()
    {
        // The server's answers say what the far port now runs at.
        C codec = opened();
        QVERIFY(!codec.settingsAnswered());
        feed(codec,
            bytes({C::IAC, C::SB, 44, 101, 0x00, 0x01, 0xC2, 0x00, C::IAC, C::SE, C::IAC, C::SB, 44,
                102, 8, C::IAC, C::SE, C::IAC, C::SB, 44, 103, 1, C::IAC, C::SE, C::IAC, C::SB, 44,
                104, 1, C::IAC, C::SE, C::IAC, C::SB, 44, 105, 3, C::IAC, C::SE, C::IAC, C::SB, 44,
                105, 11, C::IAC, C::SE}),
            3);
        QCOMPARE(codec.answerCount(), uint64_t(6));
        QCOMPARE(codec.confirmed().baudRate, 115200u);
        QCOMPARE(int(codec.confirmed().dataSize), 8);
        QCOMPARE(int(codec.confirmed().parity), int(C::ParityNone));
        QCOMPARE(int(codec.confirmed().stopSize), int(C::StopBitsOne));
        QCOMPARE(int(codec.confirmed().control),
            int(C::ControlHardwareFlow)); // 11 is DTR, not flow control
    }

    void baudRateWithAnIacByteIsEscaped()
    {
        // 0xFF inside a command's value is doubled like data, or the server reads IAC + command.
        C codec;
        codec.opening(0x0001FF00);
        const Output out = feed(codec, bytes({C::IAC, C::DO, 44}));
        QVERIFY(out.reply.startsWith(
            bytes({C::IAC, C::SB, 44, 1, 0x00, 0x01, 0xFF, 0xFF, 0x00, C::IAC, C::SE})));
        QCOMPARE(C::baudRateQuery(), bytes({C::IAC, C::SB, 44, 1, 0, 0, 0, 0, C::IAC, C::SE}));
    }

    void refusedComPortIsSeen()
    {
        C codec = opened();
        const Output out = feed(codec, bytes({C::IAC, C::DONT, 44}));
        QVERIFY(codec.comPortRefused());
        QVERIFY(!codec.comPortAccepted());
        QCOMPARE(out.reply, bytes({C::IAC, C::WONT, 44}));
    }

    void randomStreamsSurviveRandomSplits()
    {
        // Board bytes of every value, escaped and interleaved with commands, split anywhere.
        std::mt19937 random(2217);
        for (int round = 0; round < 200; ++round) {
            QByteArray data, in;
            const int length = 1 + int(random() % 3000);
            for (int k = 0; k < length; ++k) {
                const char byte = char(random() % 4 == 0 ? 0xFF : random() & 0xFF);
                data.append(byte);
                in.append(escaped(QByteArray(1, byte)));
                if (random() % 200 == 0)
                    in.append(bytes({C::IAC, C::SB, 44, 107, int(random() % 255), C::IAC,
                        C::SE})); // 0xFF would need doubling
                if (random() % 300 == 0)
                    in.append(bytes({C::IAC, 241}));
            }
            C codec = opened();
            Output out;
            for (int at = 0; at < in.size();) {
                const int piece = 1 + int(random() % 64);
                codec.receive(
                    in.constData() + at, qMin(piece, int(in.size()) - at), out.data, out.reply);
                at += piece;
            }
            QCOMPARE(out.data, data);
            QCOMPARE(out.reply, QByteArray());
        }
    }
};

QTEST_APPLESS_MAIN(TestRfc2217Codec)
#include "tst_rfc2217codec.moc"
