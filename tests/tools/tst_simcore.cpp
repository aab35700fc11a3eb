// SPDX-License-Identifier: MIT
// The simulator's parts: the encoder against the decoder, the synthetic board, the faults.
#include "boardmodel.h"
#include "faultinjector.h"
#include "framedecoder.h"
#include "frameencoder.h"
#include "framereceiver.h"
#include "framesupport.h"
#include "simulator.h"

#include <QtTest>

#include <algorithm>

class TestSimCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void encoderRoundTripsThroughTheDecoder_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("samples");
        for (int mode : {0, 1})
            for (int samples : {0, 1, 2, 3, 128, 255})
                QTest::addRow("%s, n=%d", mode ? "FMCW" : "CW", samples) << mode << samples;
    }

    void encoderRoundTripsThroughTheDecoder()
    {
        QFETCH(int, mode);
        QFETCH(int, samples);
        FrameValues values = numberedFrame(samples + 1, samples, uint8_t(mode));
        if (samples > 0) {
            // Extremes of both sample types.
            values.i[0] = INT16_MIN;
            values.q[0] = INT16_MAX;
            values.s[0] = INT32_MIN;
            values.s[size_t(samples - 1)] = INT32_MAX;
        }
        const QByteArray bytes = encodeFrame(values);
        QCOMPARE(bytes.size(), FrameDecoder::frameLength(samples));
        frame_t frame;
        FrameDecoder::Details details;
        details.wantSpectrum = true;
        QCOMPARE(FrameDecoder().decodeFrame(bytes.constData(), bytes.size(), frame, details), 0);
        QCOMPARE(frame, expectedRecord(values));
        QCOMPARE(details.spectrum, values.s);
    }

    void checksumIsTheWireFormatsSum()
    {
        // Hand-written: E0 + 00 + 00 + 01 + 00 10 00 20 00 00 00 05 = 0x116.
        const QByteArray frame = QByteArray::fromHex("A2E000000100100020000000051616");
        QCOMPARE(int(frameChecksum(frame.constData(), frame.size())), 0x16);
        FrameValues values;
        values.i = {16};
        values.q = {32};
        values.s = {5};
        QCOMPARE(encodeFrame(values), frame);
    }

    void boardLooksLikeARadar_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("CW") << int(SimMode::Cw);
        QTest::newRow("FMCW") << int(SimMode::Fmcw);
    }

    void boardLooksLikeARadar()
    {
        QFETCH(int, mode);
        BoardModel board(SimMode(mode), 128, 5);
        for (int index = 0; index < 50; ++index) {
            const FrameValues values = board.frame(index);
            QCOMPARE(int(values.mode), mode == int(SimMode::Fmcw) ? 1 : 0);
            QCOMPARE(values.i.size(), size_t(128));
            double mean = 0;
            for (size_t k = 0; k < values.i.size(); ++k) {
                QVERIFY(values.i[k] >= 0 && values.i[k] <= 4095);
                QVERIFY(values.q[k] >= 0 && values.q[k] <= 4095);
                mean += values.i[k];
            }
            QVERIFY(std::abs(mean / 128 - 2048) < 300);
            const auto [low, high] = std::minmax_element(values.s.begin(), values.s.end());
            QVERIFY(*low >= -35 && *high <= 60);
            QVERIFY2(*high > 35 && *high - *low > 30, "the target stands out of the noise floor");
        }
    }

    void sameSeedSameBytes()
    {
        auto stream = [](uint32_t seed, SimMode mode) {
            BoardModel board(mode, 64, seed);
            FaultInjector faults({0.3, 0.3, 0.3, 0.3, 0.3}, seed);
            QByteArray out;
            for (int index = 0; index < 30; ++index)
                faults.append(out, encodeFrame(board.frame(index)));
            return out;
        };
        QCOMPARE(stream(11, SimMode::Alternate), stream(11, SimMode::Alternate));
        QVERIFY(stream(11, SimMode::Alternate) != stream(12, SimMode::Alternate));
        QVERIFY(stream(11, SimMode::Cw) != stream(11, SimMode::Fmcw));
    }

    // Recordings and the viewer's tests were made with the built-in target: a radar scene is an
    // addition beside it, never a change to its bytes.
    void builtInTargetKeepsItsBytes_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("samples");
        QTest::addColumn<QByteArray>("sha1");
        const char *sums[3][3] = {
            {"45e61998b85ad0fcfe652f73499a2351047901e7", "0550344e3f6444dc29c788b522d4721220e31da8",
             "df476e678d49c3820b079d3e64199b019ec25fc1"},
            {"02b5179c9cbe338601f3b24f506e1dc85a47a9c7", "f712e2f430ee7607a49d395965b4d7ef91c66fcc",
             "16ffdbdc792117dc438de999e75cfc605623dec3"},
            {"f2e30828b4a6c6a187c66e561b65805e309025c5", "6832632e4dfc087695bf319af6184f9fc20b021b",
             "abd02e16476b1449b7f86dfb746983e07139d9e4"}};
        const char *names[3] = {"CW", "FMCW", "alternate"};
        const int sizes[3] = {16, 128, 255};
        for (int mode = 0; mode < 3; ++mode)
            for (int size = 0; size < 3; ++size)
                QTest::addRow("%s, n=%d", names[mode], sizes[size])
                    << mode << sizes[size] << QByteArray(sums[mode][size]);
    }

    void builtInTargetKeepsItsBytes()
    {
        QFETCH(int, mode);
        QFETCH(int, samples);
        QFETCH(QByteArray, sha1);
        BoardModel board(SimMode(mode), samples, 7);
        QCryptographicHash hash(QCryptographicHash::Sha1);
        for (int index = 0; index < 40; ++index)
            hash.addData(encodeFrame(board.frame(index)));
        QCOMPARE(hash.result().toHex(), sha1);
    }

    void targetMoves()
    {
        BoardModel board(SimMode::Fmcw, 128, 1);
        auto peak = [](const FrameValues &v) {
            return int(std::max_element(v.s.begin(), v.s.end()) - v.s.begin());
        };
        const int first = peak(board.frame(0));
        int later = first;
        for (int index = 1; index < 80; ++index)
            later = peak(board.frame(index));
        QVERIFY(first != later);
    }

    void faultsAreExactlyTheOnesCounted_data()
    {
        QTest::addColumn<double>("junk");
        QTest::addColumn<double>("stray");
        QTest::addColumn<double>("checksum");
        QTest::addColumn<double>("mode");
        QTest::addColumn<double>("truncate");
        QTest::addColumn<int>("samples");
        QTest::newRow("none") << 0.0 << 0.0 << 0.0 << 0.0 << 0.0 << 128;
        QTest::newRow("junk only") << 0.5 << 0.0 << 0.0 << 0.0 << 0.0 << 128;
        // Short frames in dense junk: the junk's own header and end bytes meet real frames often.
        QTest::newRow("junk only, n=0") << 1.0 << 0.0 << 0.0 << 0.0 << 0.0 << 0;
        QTest::newRow("stray headers, n=1") << 0.5 << 0.5 << 0.0 << 0.0 << 0.0 << 1;
        QTest::newRow("bad checksums, n=64") << 0.0 << 0.0 << 0.3 << 0.0 << 0.0 << 64;
        QTest::newRow("bad modes, n=255") << 0.0 << 0.0 << 0.0 << 0.3 << 0.0 << 255;
        QTest::newRow("truncated, n=16") << 0.0 << 0.0 << 0.0 << 0.0 << 0.3 << 16;
        QTest::newRow("truncated in junk, n=16") << 1.0 << 0.0 << 0.0 << 0.0 << 0.5 << 16;
        QTest::newRow("everything at once") << 0.1 << 0.1 << 0.1 << 0.1 << 0.1 << 128;
    }

    void faultsAreExactlyTheOnesCounted()
    {
        QFETCH(double, junk);
        QFETCH(double, stray);
        QFETCH(double, checksum);
        QFETCH(double, mode);
        QFETCH(double, truncate);
        QFETCH(int, samples);
        BoardModel board(SimMode::Alternate, samples, 3);
        FaultInjector faults({junk, stray, checksum, mode, truncate}, 3);
        QByteArray stream, framesAlone;
        QList<frame_t> expected;
        int broken = 0;
        for (int index = 0; index < 400; ++index) {
            const FrameValues values = board.frame(index);
            framesAlone += encodeFrame(values);
            if (faults.append(stream, encodeFrame(values)))
                ++broken;
            else
                expected.append(expectedRecord(values));
        }
        FrameReceiver receiver;
        FrameDecoder decoder;
        frame_t record;
        QList<frame_t> received;
        auto keep = [&](const frame_t &frame, const char *, int) { received.append(frame); };
        for (int at = 0; at < stream.size(); at += 777)
            receiver.receive(stream.constData() + at, std::min(777, int(stream.size()) - at), decoder, record, keep);
        receiver.flush(decoder, record, keep);
        QCOMPARE(received.size(), 400 - broken);
        QCOMPARE(received, expected);
        if (checksum + mode + truncate > 0)
            QVERIFY(broken > 0);
        if (junk > 0 && checksum + mode + truncate == 0) {
            // Noise as a line makes it: the junk holds false header and end bytes too.
            QVERIFY(stream.count(char(0xA2)) > framesAlone.count(char(0xA2)));
            QVERIFY(stream.count(char(0x16)) > framesAlone.count(char(0x16)));
        }
    }
};

QTEST_GUILESS_MAIN(TestSimCore)
#include "tst_simcore.moc"
