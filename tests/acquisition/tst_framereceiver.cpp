// SPDX-License-Identifier: MIT
// The consumption rules of the receive buffer, fed exact chunks so that every split is known.
#include "framedecoder.h"
#include "framereceiver.h"
#include "framesupport.h"

#include <QtTest>

namespace {

struct Feed
{
    FrameReceiver receiver;
    FrameDecoder decoder;
    frame_t record;
    QList<frame_t> frames;
    uint64_t frameBytes = 0;
    int maxBuffered = 0;

    void receive(const QByteArray &bytes)
    {
        receiver.receive(bytes.constData(), bytes.size(), decoder, record, sink());
        maxBuffered = std::max(maxBuffered, int(receiver.buffer().size()));
    }
    void receiveInChunks(const QByteArray &bytes, int chunk)
    {
        for (int at = 0; at < bytes.size(); at += chunk)
            receive(bytes.mid(at, chunk));
    }
    void flush(FrameReceiver::Flush mode = FrameReceiver::Flush::EndOfInput)
    {
        receiver.flush(decoder, record, sink(), mode);
    }
    // Every byte is accounted for: in a frame, dropped, or still buffered.
    bool accountsForEveryByte() const
    {
        const auto &s = receiver.stats();
        return s.bytesReceived == frameBytes + s.bytesDropped + uint64_t(receiver.buffer().size());
    }

private:
    FrameReceiver::FrameSink sink()
    {
        return [this](const frame_t &frame, const char *, int length) {
            frames.append(frame);
            frameBytes += uint64_t(length);
        };
    }
};

QList<frame_t> expectedRecords(const QList<FrameValues> &values)
{
    QList<frame_t> records;
    for (const auto &v : values)
        records.append(expectedRecord(v));
    return records;
}

} // namespace

class TestFrameReceiver : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyBackToBackFrameOnceInOrder_data()
    {
        QTest::addColumn<int>("samples");
        QTest::addColumn<int>("chunk");
        for (int samples : {128, 255, 64, 0}) {
            for (int chunk : {1, 7, 256, 1031, 1500, 4096, 1 << 20}) {
                QTest::addRow("n=%d, chunks of %d", samples, chunk) << samples << chunk;
            }
        }
    }

    void everyBackToBackFrameOnceInOrder()
    {
        // Emptying the whole buffer after a frame would lose the start of the next one.
        QFETCH(int, samples);
        QFETCH(int, chunk);
        QList<FrameValues> sent;
        QByteArray stream;
        for (int k = 0; k < 40; ++k) {
            sent.append(numberedFrame(k, samples, uint8_t(k % 2)));
            appendFrame(stream, sent.last());
        }
        Feed feed;
        feed.receiveInChunks(stream, chunk);
        // Only what the decode threshold holds back may still wait for more bytes.
        const int frameLength = FrameDecoder::frameLength(samples);
        QVERIFY(feed.frames.size() >= sent.size() - FrameReceiver::kDecodeThreshold / frameLength);
        QVERIFY(feed.maxBuffered < FrameDecoder::kMaxFrameLength);
        feed.flush();
        QCOMPARE(feed.frames, expectedRecords(sent));
        QCOMPARE(feed.receiver.stats().bytesDropped, 0u);
        QCOMPARE(feed.receiver.stats().framesRejected, 0u);
        // One read larger than the bound (a pseudo-terminal or a fast adapter) still yields every frame.
        QCOMPARE(feed.receiver.stats().overflows, 0u);
        QVERIFY(feed.accountsForEveryByte());
    }

    void gateHoldsWhileBytesComeAndQuietReleases_data()
    {
        QTest::addColumn<int>("samples");
        for (int samples : {0, 1, 16, 64, 127, 128, 255})
            QTest::addRow("n=%d", samples) << samples;
    }

    void gateHoldsWhileBytesComeAndQuietReleases()
    {
        // Frames below the gate used to wait for bytes that a paused board never sends.
        QFETCH(int, samples);
        const FrameValues values = numberedFrame(1, samples, uint8_t(samples % 2));
        const QByteArray frame = encodeFrame(values);
        Feed feed;
        feed.receive(frame);
        QCOMPARE(feed.frames.size(), frame.size() > FrameReceiver::kDecodeThreshold ? 1 : 0);
        feed.flush(FrameReceiver::Flush::Quiet);
        QCOMPARE(feed.frames, QList<frame_t>{expectedRecord(values)});
        QVERIFY(feed.receiver.buffer().isEmpty());

        // A frame's first 1030 bytes stay buffered; its last byte releases it at once.
        if (frame.size() > FrameReceiver::kDecodeThreshold) {
            Feed exact;
            exact.receive(frame.left(FrameReceiver::kDecodeThreshold));
            QCOMPARE(exact.receiver.buffer().size(), FrameReceiver::kDecodeThreshold);
            exact.receive(frame.mid(FrameReceiver::kDecodeThreshold));
            QCOMPARE(exact.frames.size(), 1);
        }
    }

    void faultsCostOnlyThemselves_data()
    {
        QTest::addColumn<QByteArray>("fault");
        QTest::addColumn<int>("rejected");

        QByteArray badChecksum = encodeFrame(numberedFrame(100, 128, 0));
        badChecksum[badChecksum.size() - 2] = char(badChecksum.at(badChecksum.size() - 2) + 1);
        QByteArray badMode = encodeFrame(numberedFrame(101, 40, 0));
        badMode[2] = char(2);
        badMode[badMode.size() - 2] = char(badMode.at(badMode.size() - 2) + 2);
        const QByteArray truncated = encodeFrame(numberedFrame(102, 128, 1)).left(700);
        QByteArray junk;
        for (int k = 0; k < 3000; ++k)
            junk.append(char((k * 37 + 11) % 256 == 0xA2 ? 0 : (k * 37 + 11) % 256));

        QTest::newRow("junk") << junk << 0;
        QTest::newRow("stray header claiming a long frame")
            << QByteArray::fromHex("0011A2E00000FF2233") << 0;
        QTest::newRow("stray n = 0 header with a wrong end byte")
            << QByteArray::fromHex("A2E0000000E015") << 0;
        QTest::newRow("bad checksum") << badChecksum << 1;
        QTest::newRow("bad mode") << badMode << 1;
        QTest::newRow("frame cut short") << truncated << 0;
        QTest::newRow("bad checksum then junk") << badChecksum + junk << 1;
        QTest::newRow("everything") << junk + badMode + truncated + badChecksum << 2;
    }

    void faultsCostOnlyThemselves()
    {
        // A corrupt frame used to stay at the front and block every good frame behind it.
        QFETCH(QByteArray, fault);
        QFETCH(int, rejected);
        for (int chunk : {1, 97, 1031, 4096, 1 << 20}) {
            QList<FrameValues> sent;
            QByteArray stream;
            for (int k = 0; k < 12; ++k) {
                sent.append(numberedFrame(k, 128, uint8_t(k % 2)));
                appendFrame(stream, sent.last());
                if (k % 4 == 1)
                    stream += fault;
            }
            Feed feed;
            feed.receiveInChunks(stream, chunk);
            feed.flush();
            QCOMPARE(feed.frames, expectedRecords(sent));
            QCOMPARE(int(feed.receiver.stats().framesRejected), 3 * rejected);
            // Junk never piles up: what stays is below the gate or a candidate still arriving.
            QVERIFY(feed.maxBuffered < FrameDecoder::kMaxFrameLength);
            QVERIFY(feed.accountsForEveryByte());
        }
    }

    void candidatesInsideAFrameStillArriving_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("firstRead"); // bytes in the first read; the rest come in a second
        QTest::addColumn<QList<frame_t>>("expected");
        QTest::addColumn<int>("rejected");

        // A 255-sample frame whose spectrum holds a complete, valid 0-sample frame.
        FrameValues host = numberedFrame(7, 255, 0);
        host.s[10] = int32_t(0xA2E00100);
        host.s[11] = int32_t(0x00E11600);
        const QByteArray hostBytes = encodeFrame(host);
        const int innerEnd = 5 + 8 * 255 - 4 * 245 + 7; // the inner frame's last byte, plus one
        QCOMPARE(hostBytes.mid(innerEnd - 7, 7), QByteArray::fromHex("A2E0010000E116"));
        QTest::newRow("valid frame inside a valid one: the outer wins")
            << hostBytes << innerEnd << QList<frame_t>{expectedRecord(host)} << 0;

        QByteArray brokenHost = hostBytes;
        brokenHost[brokenHost.size() - 2] = char(brokenHost.at(brokenHost.size() - 2) + 1);
        const frame_t inner = expectedRecord(FrameValues {1, 0, {}, {}, {}});
        QTest::newRow("valid frame inside a corrupt one: the inner comes out")
            << brokenHost << innerEnd << QList<frame_t>{inner} << 1;

        // A2 E0 00 00 00 00 16 in the I samples: well framed, bad checksum, never even looked at.
        FrameValues carrier = numberedFrame(8, 200, 0);
        carrier.i[1] = int16_t(0xA2E0);
        carrier.i[2] = 0;
        carrier.i[3] = 0;
        carrier.i[4] = 0x1600;
        QTest::newRow("corrupt frame inside a valid one")
            << encodeFrame(carrier) << 1200 << QList<frame_t>{expectedRecord(carrier)} << 0;

        // A2 E0 00 00 01 claims 15 bytes; the real frame starts right after it and its I[2] puts
        // 16 where the false frame's end byte would be.
        FrameValues real = numberedFrame(3, 128, 1);
        real.i[2] = int16_t(0x1600);
        QTest::newRow("false header spanning the start of a real frame")
            << QByteArray::fromHex("A2E0000001") + encodeFrame(real) << 1100
            << QList<frame_t>{expectedRecord(real)} << 1;
    }

    void candidatesInsideAFrameStillArriving()
    {
        // A frame inside another used to come out in its place when the outer one was still
        // arriving, and the outer one was lost.
        QFETCH(QByteArray, stream);
        QFETCH(int, firstRead);
        QFETCH(QList<frame_t>, expected);
        QFETCH(int, rejected);
        Feed feed;
        feed.receive(stream.left(firstRead));
        feed.flush(FrameReceiver::Flush::Quiet);
        if (stream.size() > firstRead)
            QCOMPARE(feed.frames.size(), 0); // the inner frame waits for the outer one
        feed.receive(stream.mid(firstRead));
        feed.flush();
        QCOMPARE(feed.frames, expected);
        QCOMPARE(int(feed.receiver.stats().framesRejected), rejected);
        QVERIFY(feed.accountsForEveryByte());
    }

    void longQuietGivesUpAFalseHeaderHoldingFramesBack()
    {
        // Junk that looks like the header of a 255-sample frame, then a small real frame, then
        // silence: the real frame must not wait for 2047 bytes that never come.
        const FrameValues small = numberedFrame(4, 16, 0);
        const QByteArray stream = QByteArray::fromHex("A2E00000FF") + encodeFrame(small);
        Feed feed;
        feed.receive(stream);
        feed.flush(FrameReceiver::Flush::Quiet);
        QCOMPARE(feed.frames.size(), 0);
        QVERIFY(feed.receiver.isWaiting());
        feed.flush(FrameReceiver::Flush::LongQuiet);
        QCOMPARE(feed.frames, QList<frame_t>{expectedRecord(small)});
        QVERIFY(feed.accountsForEveryByte());

        // A candidate still arriving with nothing complete behind it is a board paused mid-frame:
        // it is kept, and its frame comes out whole when the rest arrives.
        const QByteArray frame = encodeFrame(numberedFrame(5, 64, 1));
        Feed paused;
        paused.receive(frame.left(100));
        paused.flush(FrameReceiver::Flush::LongQuiet);
        QVERIFY(paused.receiver.isWaiting());
        paused.receive(frame.mid(100));
        paused.flush();
        QCOMPARE(paused.frames.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestFrameReceiver)
#include "tst_framereceiver.moc"
