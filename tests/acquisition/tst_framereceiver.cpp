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
    void flush() { receiver.flush(decoder, record, sink()); }
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
        QVERIFY(feed.maxBuffered <= FrameReceiver::kMaxBuffered);
        feed.flush();
        QCOMPARE(feed.frames, expectedRecords(sent));
        QCOMPARE(feed.receiver.stats().bytesDropped, 0u);
        QCOMPARE(feed.receiver.stats().framesRejected, 0u);
        // One read larger than the bound (a pseudo-terminal or a fast adapter) still yields every frame.
        QCOMPARE(feed.receiver.stats().overflows, 0u);
        QVERIFY(feed.accountsForEveryByte());
    }

    void decodesOnlyAboveThreshold()
    {
        const QByteArray frame = encodeFrame(numberedFrame(1, 128, 0));
        QCOMPARE(frame.size(), FrameReceiver::kDecodeThreshold + 1);
        Feed feed;
        feed.receive(frame.left(FrameReceiver::kDecodeThreshold));
        QCOMPARE(feed.frames.size(), 0);
        QCOMPARE(feed.receiver.buffer().size(), FrameReceiver::kDecodeThreshold);
        feed.receive(frame.right(1));
        QCOMPARE(feed.frames.size(), 1);
        QVERIFY(feed.receiver.buffer().isEmpty());

        // A small frame waits below the threshold until more bytes come.
        const QByteArray small = encodeFrame(numberedFrame(2, 8, 0));
        feed.receive(small);
        QCOMPARE(feed.frames.size(), 1);
        feed.receive(QByteArray(FrameReceiver::kDecodeThreshold, '\0'));
        QCOMPARE(feed.frames.size(), 2);
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
            QVERIFY(feed.maxBuffered <= FrameReceiver::kMaxBuffered);
            QVERIFY(feed.accountsForEveryByte());
        }
    }

    void falseHeaderInsideAFrameStillArrivingDoesNotSwallowIt()
    {
        // The frame's I samples hold A2 E0 00 00 00 00 16: a well-framed n = 0 candidate with a
        // bad checksum, complete while its host frame is not.
        FrameValues host = numberedFrame(7, 200, 0);
        host.i[1] = int16_t(0xA2E0);
        host.i[2] = 0;
        host.i[3] = 0;
        host.i[4] = 0x1600;
        const QByteArray bytes = encodeFrame(host);
        Feed feed;
        feed.receive(bytes.left(1200)); // above the threshold, host incomplete
        QCOMPARE(feed.frames.size(), 0);
        QCOMPARE(int(feed.receiver.stats().framesRejected), 1);
        feed.receive(bytes.mid(1200, 200));
        QCOMPARE(int(feed.receiver.stats().framesRejected), 1); // not rejected again
        feed.receive(bytes.mid(1400));
        QCOMPARE(feed.frames, QList<frame_t>{expectedRecord(host)});
    }

    void falseHeaderSpanningARealFrameDoesNotSwallowIt()
    {
        // A2 E0 00 00 01 claims 15 bytes; the real frame starts right after it and its I[2] puts
        // 16 where the false frame's end byte would be.
        FrameValues real = numberedFrame(3, 128, 1);
        real.i[2] = int16_t(0x1600);
        const QByteArray frame = encodeFrame(real);
        const QByteArray falseHeader = QByteArray::fromHex("A2E0000001");
        const QByteArray stream = falseHeader + frame;
        QCOMPARE(uint8_t(stream.at(14)), uint8_t(0x16));
        Feed feed;
        feed.receive(stream);
        feed.flush();
        QCOMPARE(feed.frames, QList<frame_t>{expectedRecord(real)});
        QCOMPARE(int(feed.receiver.stats().framesRejected), 1);
    }
};

QTEST_GUILESS_MAIN(TestFrameReceiver)
#include "tst_framereceiver.moc"
