// SPDX-License-Identifier: MIT
// The decoder's cases are hand-written bytes, independent of the project's encoder.
#include "framedecoder.h"

#include <QtTest>

namespace {
// A CW frame with n = 1: I = 16, Q = 32, S = 5.
const QByteArray kMinimalCw = "A2E000000100100020000000051616";
const QByteArray kMinimalFmcw = "A2E001000100100020000000051716";

frame_t record(int mode, std::vector<int16_t> i, std::vector<int16_t> q, QVector<QPointF> iSeries,
               QVector<QPointF> qSeries, QVector<QPointF> fftSeries, QVector<QPointF> fftBins)
{
    frame_t frame;
    frame.modulation = mode;
    frame.sample_count = int(i.size());
    frame.i_samples = std::move(i);
    frame.q_samples = std::move(q);
    frame.i_series = std::move(iSeries);
    frame.q_series = std::move(qSeries);
    frame.fft_series = std::move(fftSeries);
    frame.fft_bins = std::move(fftBins);
    return frame;
}

frame_t minimalCwRecord()
{
    return record(0, {16}, {32}, {{0, 16}}, {{0, 32}}, {{0, 5}, {0, 5}}, {{0, 5}});
}

// What a record looks like before a failed call; it must look the same afterwards.
frame_t sentinel()
{
    frame_t frame;
    frame.modulation = 7;
    frame.sample_count = 3;
    frame.i_samples = {1, 2, 3};
    frame.q_samples = {4};
    return frame;
}
} // namespace

class TestFrameDecoder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<int>("status");
        QTest::addColumn<frame_t>("expected"); // for status 0 only

        const frame_t none;
        QTest::newRow("four bytes are too few, even a header") << QByteArray("A2E00000") << 2 << none;
        QTest::newRow("empty buffer") << QByteArray() << 2 << none;
        QTest::newRow("junk only, no header") << QByteArray("0102030405060708090A0B0C0D0E0F") << 2 << none;
        QTest::newRow("minimal CW frame") << kMinimalCw << 0 << minimalCwRecord();
        QTest::newRow("minimal FMCW frame shows no spectrum bins (m = 0)")
            << kMinimalFmcw << 0
            << record(1, {16}, {32}, {{0, 16}}, {{0, 32}}, {{0, 5}}, {});
        QTest::newRow("n = 0 frame decodes to an empty record")
            << QByteArray("A2E0010000E116") << 0 << record(1, {}, {}, {}, {}, {}, {});
        QTest::newRow("byte 3 is not interpreted")
            << QByteArray("A2E000550100100020000000056B16") << 0 << minimalCwRecord();
        QTest::newRow("junk before a frame is skipped")
            << QByteArray("0102A2FF16") + kMinimalCw << 0 << minimalCwRecord();
        QTest::newRow("stray header whose frame would run past the buffer")
            << QByteArray("A2E00000FF") + kMinimalCw << 0 << minimalCwRecord();
        QTest::newRow("stray header whose end byte is wrong, its bytes not summed")
            << QByteArray("A2E00000003300") + kMinimalCw << 0 << minimalCwRecord();
        QTest::newRow("two frames: only the first is decoded")
            << kMinimalCw + kMinimalFmcw << 0 << minimalCwRecord();
        QTest::newRow("frame cut off by the end of the buffer") << kMinimalCw.left(26) << 2 << none;
        QTest::newRow("candidate at i > 0 running past the end, length == 8n + 7")
            << QByteArray("00") + kMinimalCw.left(28) << 2 << none;
        QTest::newRow("bad mode commits: the valid frame behind it is never looked at")
            << QByteArray("A2E0020000E216") + kMinimalCw << 4 << none;
        QTest::newRow("mode FF is rejected") << QByteArray("A2E0FF0000DF16") << 4 << none;
        QTest::newRow("checksum off by one") << QByteArray("A2E000000100100020000000051716") << 5 << none;
        QTest::newRow("checksum failure commits too")
            << QByteArray("A2E000000100100020000000051716") + kMinimalCw << 5 << none;
        QTest::newRow("sign extension of I, exact spectrum values")
            << QByteArray("A2E00000038000FFFF0FFF000100020003000000C800000180FFFFFFCE8916") << 0
            << record(0, {-32768, -1, 4095}, {1, 2, 3}, {{0, -32768}, {1, -1}, {2, 4095}},
                      {{0, 1}, {1, 2}, {2, 3}}, {{0, 200}, {0, -50}, {1, 384}, {2, 200}},
                      {{0, -50}, {1, 384}, {2, 200}});
        QTest::newRow("most negative spectrum value; FMCW shows the upper half reversed")
            << QByteArray("A2E001000400000000000000000000000000000000800000000000000100000002000000036B16")
            << 0
            << record(1, {0, 0, 0, 0}, {0, 0, 0, 0}, {{0, 0}, {1, 0}, {2, 0}, {3, 0}},
                      {{0, 0}, {1, 0}, {2, 0}, {3, 0}}, {{0, -2147483648.0}, {0, 3}, {1, 2}},
                      {{0, 3}, {1, 2}});
    }

    void decode()
    {
        QFETCH(QByteArray, hex);
        QFETCH(int, status);
        QFETCH(frame_t, expected);
        const QByteArray bytes = QByteArray::fromHex(hex);
        frame_t frame = status == 0 ? frame_t() : sentinel();
        QCOMPARE(FrameDecoder().decodeFrame(bytes.constData(), bytes.size(), frame), status);
        QCOMPARE(frame, status == 0 ? expected : sentinel());
    }

    void neverReadsPastLength_data()
    {
        QTest::addColumn<QByteArray>("hex");
        QTest::newRow("frame whose tail lies past length") << kMinimalCw;
        QTest::newRow("header pair in the last six bytes") << QByteArray("0000A2E00001001000");
    }

    void neverReadsPastLength()
    {
        // The bytes past `length` hold a would-be end byte; a decoder that looked there would
        // accept the frame. (AddressSanitizer catches an actual overread in the sanitizer build.)
        QFETCH(QByteArray, hex);
        const QByteArray bytes = QByteArray::fromHex(hex);
        for (int length = 0; length < bytes.size(); ++length) {
            QByteArray exact = bytes.left(length);
            frame_t frame = sentinel();
            QCOMPARE(FrameDecoder().decodeFrame(exact.constData(), exact.size(), frame), 2);
            QCOMPARE(frame, sentinel());
        }
    }

    void detailsLocateTheFrameAndItsSpectrum()
    {
        const QByteArray bytes = QByteArray::fromHex(
            "0000A2E001000400000000000000000000000000000000800000000000000100000002000000036B16FF");
        frame_t frame;
        FrameDecoder::Details details;
        details.wantSpectrum = true;
        QCOMPARE(FrameDecoder().decodeFrame(bytes.constData(), bytes.size(), frame, details), 0);
        QCOMPARE(details.frameStart, 2);
        QCOMPARE(details.frameLength, 39);
        QCOMPARE(details.spectrum, (std::vector<int32_t>{INT32_MIN, 1, 2, 3}));
    }
};

QTEST_GUILESS_MAIN(TestFrameDecoder)
#include "tst_framedecoder.moc"
