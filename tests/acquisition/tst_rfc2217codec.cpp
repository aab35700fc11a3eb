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
        QTest::addColumn<QString>("error"); // empty: the server is still trusted
        // What ser2net 4 sends first, and its answers to the line settings, around board bytes.
        const QByteArray ser2netGreeting
            = bytes({C::IAC, C::WILL, 3, C::IAC, C::DO, 3, C::IAC, C::WILL, 1, C::IAC, C::DONT, 1,
                C::IAC, C::DO, 0, C::IAC, C::WILL, 0, C::IAC, C::DO, 44});
        QTest::newRow("plain data passes whole")
            << QByteArray("\x01\x02\xfe\x00", 4) << QByteArray("\x01\x02\xfe\x00", 4)
            << QByteArray() << QString();
        QTest::newRow("IAC IAC is one 0xFF data byte")
            << bytes({0x10, C::IAC, C::IAC, C::IAC, C::IAC, 0x20})
            << bytes({0x10, 0xFF, 0xFF, 0x20}) << QByteArray() << QString();
        QTest::newRow("ser2net's greeting: echo refused, settings sent once")
            << ser2netGreeting + bytes({0x42}) << bytes({0x42})
            << bytes({C::IAC, C::DONT, 1}) + kLineSettings << QString();
        QTest::newRow("an option we do not know is refused both ways")
            << bytes({C::IAC, C::DO, 24, C::IAC, C::WILL, 31}) << QByteArray()
            << bytes({C::IAC, C::WONT, 24, C::IAC, C::DONT, 31}) << QString();
        QTest::newRow("an agreed option is not answered again (no echo loop)")
            << bytes({C::IAC, C::DO, 0, C::IAC, C::WILL, 0, C::IAC, C::DO, 0}) << QByteArray()
            << QByteArray() << QString();
        // Answering a refusal again would let a server grow our answers without bound.
        QTest::newRow("a flood of requests for a refused option is answered once each way")
            << bytes({C::IAC, C::DO, 99, C::IAC, C::WILL, 99}).repeated(50000) << QByteArray()
            << bytes({C::IAC, C::WONT, 99, C::IAC, C::DONT, 99}) << QString();
        // Only a change of state is answered: an option already off, or our own request refused.
        QTest::newRow("WONT and DONT for an option that is off are not answered") << bytes(
            {C::IAC, C::WONT, 24, C::IAC, C::DONT, 24, C::IAC, C::WONT, 3, C::IAC, C::DONT, 3,
                C::IAC, C::WONT, 3}) << QByteArray() << QByteArray() << QString();
        QTest::newRow("an option switched on and off without end is a negotiation loop")
            << bytes({C::IAC, C::DONT, 3, C::IAC, C::DO, 3}).repeated(20) + bytes({0x33})
            << QByteArray() << bytes({C::IAC, C::WILL, 3, C::IAC, C::WONT, 3}).repeated(4)
            << "keeps switching telnet option 3 on and off";
        // Without binary transfer a CR in a frame would be followed by a stuffed NUL.
        QTest::newRow("WONT BINARY refuses our request: not answered, not trusted")
            << bytes({0x11, C::IAC, C::WONT, 0, 0x22}) << bytes({0x11}) << QByteArray()
            << "refuses binary transfer from the port (it sent WONT BINARY)";
        QTest::newRow("DONT BINARY refuses our offer: not answered, not trusted")
            << bytes({0x11, C::IAC, C::DONT, 0, 0x22}) << bytes({0x11}) << QByteArray()
            << "refuses binary transfer to the port (it sent DONT BINARY)";
        QTest::newRow("binary switched off once agreed is acknowledged, not trusted") << bytes(
            {C::IAC, C::DO, 0, C::IAC, C::WILL, 0, C::IAC, C::WONT, 0, C::IAC, C::WONT, 0,
                0x22}) << QByteArray() << bytes({C::IAC, C::DONT, 0}) << "it sent WONT BINARY";
        QTest::newRow("NOP, go-ahead and data mark carry no data")
            << bytes({1, C::IAC, 241, 2, C::IAC, 249, 3, C::IAC, 242, 4}) << bytes({1, 2, 3, 4})
            << QByteArray() << QString();
        QTest::newRow("notices in a subnegotiation carry no data")
            << bytes({7, C::IAC, C::SB, 44, 107, 0x30, C::IAC, C::SE, 8, C::IAC, C::SB, 44, 106,
                   C::IAC, C::IAC, C::IAC, C::SE, 9})
            << bytes({7, 8, 9}) << QByteArray() << QString();
        // A signature as long as a subnegotiation may be, its last byte an escaped 0xFF.
        const QByteArray longest = bytes({C::IAC, C::SB, 44, 106})
            + QByteArray(C::kLongestSubnegotiation - 3, 's') + bytes({C::IAC, C::IAC});
        QTest::newRow("a subnegotiation at the bound is read")
            << longest + bytes({C::IAC, C::SE, 0x55}) << bytes({0x55}) << QByteArray() << QString();
        QTest::newRow("a subnegotiation past the bound is an error, nothing after it read")
            << bytes({0x54}) + longest + bytes({0x20, C::IAC, C::SE, 0x55, C::IAC, C::DO, 24})
            << bytes({0x54}) << QByteArray()
            << "a subnegotiation of more than 512 bytes without its end (IAC SE)";
    }

    void serverBytes()
    {
        // Every way of splitting the input across reads gives the same output: a command cut after
        // its IAC, its verb or inside a subnegotiation is finished by the next read.
        QFETCH(QByteArray, in);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, reply);
        QFETCH(QString, error);
        for (int piece : {0, 1, 2, 3, 7}) {
            C codec = opened();
            const Output out = feed(codec, in, piece);
            QCOMPARE(out.data, data);
            QCOMPARE(out.reply, reply);
            QVERIFY2(error.isEmpty() ? codec.error().isEmpty() : codec.error().contains(error),
                qPrintable(codec.error()));
        }
    }

    void confirmationsAreRead()
    {
        // The server's answers say what the far port now runs at; a DTR notice (11) in the same
        // command is no answer about flow control, so the settings are not all confirmed by it.
        C codec = opened();
        QVERIFY(!codec.settingsAnswered());
        // A 0 is the question repeated by a server that cannot tell: no confirmation.
        feed(codec,
            bytes({C::IAC, C::SB, 44, 101, 0, 0, 0, 0, C::IAC, C::SE, C::IAC, C::SB, 44, 102, 0,
                C::IAC, C::SE}));
        QVERIFY(codec.settingsAnswered());
        QVERIFY(!codec.isConfirmed(C::SetBaudRate));
        QVERIFY(!codec.isConfirmed(C::SetDataSize));
        feed(codec,
            bytes({C::IAC, C::SB, 44, 101, 0x00, 0x01, 0xC2, 0x00, C::IAC, C::SE, C::IAC, C::SB, 44,
                102, 8, C::IAC, C::SE, C::IAC, C::SB, 44, 103, 1, C::IAC, C::SE, C::IAC, C::SB, 44,
                104, 1, C::IAC, C::SE, C::IAC, C::SB, 44, 105, 11, C::IAC, C::SE}),
            3);
        QVERIFY(codec.isConfirmed(C::SetStopSize));
        QVERIFY(!codec.isConfirmed(C::SetControl));
        QVERIFY(!codec.allConfirmed());
        feed(codec, bytes({C::IAC, C::SB, 44, 105, 3, C::IAC, C::SE}));
        QVERIFY(codec.allConfirmed());
        QCOMPARE(codec.answerCount(), uint64_t(8));
        QCOMPARE(codec.confirmed().baudRate, 115200u);
        QCOMPARE(int(codec.confirmed().dataSize), 8);
        QCOMPARE(int(codec.confirmed().parity), int(C::ParityNone));
        QCOMPARE(int(codec.confirmed().stopSize), int(C::StopBitsOne));
        QCOMPARE(int(codec.confirmed().control), int(C::ControlHardwareFlow));
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
        // The refusal of our own offer is not answered: the option was never on.
        C codec = opened();
        const Output out = feed(codec, bytes({C::IAC, C::DONT, 44}));
        QVERIFY(codec.comPortRefused());
        QVERIFY(!codec.comPortAccepted());
        QCOMPARE(out.reply, QByteArray());
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
