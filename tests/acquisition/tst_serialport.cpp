// SPDX-License-Identifier: MIT
// The serial worker over a real pseudo-terminal: the test plays the board on the master side.
#include "framesupport.h"
#include "pseudoterminal.h"
#include "qtwarnings.h"
#include "serialport.h"

#include <QMutex>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <random>
#include <sys/resource.h>
#include <thread>

namespace {

double processCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Connected
{
    PseudoTerminal line;
    FrameCollector collector;
    std::unique_ptr<SerialPort> worker = std::make_unique<SerialPort>();

    Connected() { collector.listenTo(worker.get()); }
    bool open()
    {
        worker->openPort(line.slavePath(), LineSettings::kBaudRate);
        return collector.readyCount == 1 && collector.failureCount == 0;
    }
};

// Writes `stream` in random chunk sizes with short pauses, so that reads split frames and join them.
void writeInRandomChunks(PseudoTerminal &line, const QByteArray &stream, unsigned seed)
{
    std::mt19937 random(seed);
    for (int at = 0; at < stream.size();) {
        const int chunk = 1 + int(random() % 3000);
        QVERIFY(line.write(stream.mid(at, chunk)));
        at += chunk;
        if (random() % 4 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
    }
}

// Sees every decoded frame on the worker thread, as the recorder and the history do.
class TapCollector : public FrameTap {
public:
    void frameDecoded(const frame_t &record, const char *, int, double) override
    {
        QMutexLocker lock(&mutex);
        frames.append(record);
    }
    void linkClosed() override
    {
        QMutexLocker lock(&mutex);
        ++closed;
    }
    QList<frame_t> seen()
    {
        QMutexLocker lock(&mutex);
        return frames;
    }
    int closedCount()
    {
        QMutexLocker lock(&mutex);
        return closed;
    }

private:
    QMutex mutex;
    QList<frame_t> frames;
    int closed = 0;
};

// A recording in memory, played `passes` times.
class MemorySource : public ByteSource {
public:
    MemorySource(const QByteArray &bytes, int passes)
        : bytes(bytes)
        , passes(passes)
    {
    }
    QString name() const override { return QStringLiteral("memory"); }
    int read(QByteArray &out, int) override
    {
        if (given)
            return -1;
        out.append(bytes);
        given = true;
        return 0;
    }
    bool nextPass() override
    {
        if (pass >= passes)
            return false;
        ++pass;
        given = false;
        return true;
    }
    double secondsAt(uint64_t offset) const override { return double(offset) / 11520.0; }
    int64_t framesPerPass() const override { return 0; }

private:
    QByteArray bytes;
    int passes;
    int pass = 1;
    bool given = false;
};

// A recording one can move through: its first read ends inside frame 1, then nothing comes until
// the replay is moved; from the frame moved to, the rest comes whole.
class MovableSource : public ByteSource {
public:
    explicit MovableSource(const QList<QByteArray> &frames)
        : frames(frames)
    {
    }
    QString name() const override { return QStringLiteral("movable"); }
    int read(QByteArray &out, int) override
    {
        if (next == -2)
            return 60000; // waits for a move
        if (next == -1) {
            out += frames[0] + frames[1].left(frames[1].size() / 2);
            next = -2;
            return 0;
        }
        if (next >= frames.size())
            return -1;
        out += frames[next++];
        return 0;
    }
    bool nextPass() override { return false; }
    double secondsAt(uint64_t offset) const override { return double(offset) / 11520.0; }
    int64_t framesPerPass() const override { return frames.size(); }
    bool canMove() const override { return true; }
    uint64_t moveTo(int64_t frame, bool) override
    {
        if (frame < 0)
            return 0; // the pace only
        next = int(frame);
        uint64_t offset = 0;
        for (int k = 0; k < frame; ++k)
            offset += uint64_t(frames[k].size());
        return offset;
    }

private:
    QList<QByteArray> frames;
    int next = -1;
};

// Waits without running the test thread's event loop, so that queued frames stay queued.
template <typename Condition> bool waitWithoutEvents(Condition condition)
{
    for (int k = 0; k < 500 && !condition(); ++k)
        QThread::msleep(10);
    return condition();
}

} // namespace

class TestSerialPort : public QObject
{
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
        // No complaint from Qt about threads or socket notifiers, whatever the test did.
        const QStringList warnings = takeQtWarnings();
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
    }

    void streamsEveryBackToBackFrameInOrder()
    {
        Connected c;
        QVERIFY(c.line.isValid());
        QVERIFY(c.open());
        QList<frame_t> expected;
        QByteArray stream;
        const int count = 300;
        for (int k = 0; k < count; ++k) {
            const FrameValues values = numberedFrame(k, 128, uint8_t(k % 3 == 0));
            expected.append(expectedRecord(values));
            appendFrame(stream, values);
        }
        writeInRandomChunks(c.line, stream, 42);
        QTRY_COMPARE_WITH_TIMEOUT(c.collector.frames.size(), count, 10000);
        QCOMPARE(c.collector.frames, expected);
        qInfo("frames sent / frames emitted: %d / %d", count, int(c.collector.frames.size()));
        QCOMPARE(c.line.readAvailable(), QByteArray()); // nothing is ever written to the port
    }

    void quietBoardFramesArriveWithoutMoreBytes_data()
    {
        QTest::addColumn<int>("samples");
        for (int samples : {0, 1, 16, 64, 128, 255})
            QTest::addRow("n=%d", samples) << samples;
    }

    void quietBoardFramesArriveWithoutMoreBytes()
    {
        // Frames below the decode gate used to wait for bytes that a pausing board never sends.
        QFETCH(int, samples);
        Connected c;
        QVERIFY(c.open());
        QList<frame_t> expected;
        for (int k = 0; k < 6; ++k) {
            const FrameValues values = numberedFrame(k, samples, uint8_t(k % 2));
            expected.append(expectedRecord(values));
            QVERIFY(c.line.write(encodeFrame(values)));
            QTRY_COMPARE(c.collector.frames.size(), k + 1); // each one before the next is sent
        }
        QCOMPARE(c.collector.frames, expected);
    }

    void endOfLineDecodesEveryWholeFrame_data()
    {
        QTest::addColumn<bool>("hangUp");
        QTest::addColumn<int>("samples");
        for (bool hangUp : {false, true})
            for (int samples :
                {1, 16, 24, 64}) // the false header's span covers the frames after it
                QTest::addRow("%s, n=%d", hangUp ? "hang-up" : "disconnect", samples)
                    << hangUp << samples;
    }

    void endOfLineDecodesEveryWholeFrame()
    {
        // A false header claiming 255 samples holds back the whole frames after it while the line
        // may still bring its rest. Once the line has ended nothing can: they used to be thrown
        // away with it, unseen by the recorder.
        QFETCH(bool, hangUp);
        QFETCH(int, samples);
        Connected c;
        TapCollector tap;
        c.worker->addTap(&tap);
        QVERIFY(c.open());
        QList<frame_t> expected;
        QByteArray stream;
        for (int k = 0; k < 3; ++k) {
            const FrameValues values = numberedFrame(k, samples, uint8_t(k % 2));
            expected.append(expectedRecord(values));
            appendFrame(stream, values);
            if (k == 0)
                stream.append(QByteArray::fromHex("a2e00000ff"));
        }
        QVERIFY(c.line.write(stream));
        QTRY_COMPARE(c.worker->status().bytesReceived, uint64_t(stream.size()));
        QTest::qWait(100); // quiet for a moment: the first frame is out, the others wait
        QCOMPARE(tap.seen().size(), 1);
        if (hangUp) {
            c.line.closeMaster();
            QTRY_VERIFY(!c.worker->status().open);
        } else {
            c.worker->closePort();
        }
        QTRY_COMPARE(tap.closedCount(), 1);
        QCOMPARE(tap.seen(), expected);
        QTRY_COMPARE(c.collector.frames, expected);
        c.worker->removeTap(&tap);
    }

    void replayPassesDoNotJoin()
    {
        // A pass that ends on the first bytes of a frame and begins with its rest: joined across
        // the boundary they made a frame that no pass holds.
        const QByteArray crossing = encodeFrame(numberedFrame(7, 24, 1));
        const FrameValues inside = numberedFrame(1, 16, 0);
        const QByteArray pass = crossing.mid(6) + encodeFrame(inside) + crossing.left(6);
        SerialPort worker;
        FrameCollector collector;
        collector.listenTo(&worker);
        TapCollector tap;
        worker.addTap(&tap);
        QSignalSpy finished(&worker, &SerialPort::signalReplayFinished);
        worker.openSource(std::make_unique<MemorySource>(pass, 3));
        QTRY_COMPARE(finished.count(), 1);
        const QList<frame_t> expected{
            expectedRecord(inside), expectedRecord(inside), expectedRecord(inside)};
        QCOMPARE(tap.seen(), expected);
        QTRY_COMPARE(collector.frames, expected);
        worker.removeTap(&tap);
    }

    void aMoveDropsNoByteOfTheFile()
    {
        // Moved while the start of a frame waits in the buffer: it used to count as bytes dropped
        // (a clean recording said "505 bytes dropped" after a jump) and log a parse error.
        QList<QByteArray> frames;
        QList<frame_t> expected;
        for (int k = 0; k < 6; ++k) {
            frames.append(encodeFrame(numberedFrame(k, k % 2 ? 128 : 24, uint8_t(k % 2))));
            if (k == 0 || k >= 3)
                expected.append(expectedRecord(numberedFrame(k, k % 2 ? 128 : 24, uint8_t(k % 2))));
        }
        SerialPort worker;
        TapCollector tap;
        worker.addTap(&tap);
        QSignalSpy finished(&worker, &SerialPort::signalReplayFinished);
        worker.openSource(std::make_unique<MovableSource>(frames));
        QTRY_COMPARE(tap.seen().size(), 1); // frame 0, once the line is quiet
        worker.moveReplay(3, true);
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(tap.seen(), expected);
        QCOMPARE(worker.status().bytesDropped, uint64_t(0));
        QCOMPARE(worker.status().framesRejected, uint64_t(0));
        worker.removeTap(&tap);
    }

    void frameTravelsWithItsIdentity()
    {
        // A frame still on its way to the display when the line is reopened: its late answer used
        // to release a second frame of the new link, and from then on every frame was paired with
        // the next one's bytes.
        Connected c;
        c.worker->setPacedDelivery(true);
        QVERIFY(c.open());
        const QByteArray old = encodeFrame(numberedFrame(1, 24, 0));
        QVERIFY(c.line.write(old));
        QVERIFY(waitWithoutEvents([&] { return c.worker->status().framesDecoded == 1; }));
        PseudoTerminal second;
        c.worker->openPort(second.slavePath(), LineSettings::kBaudRate);
        const int secondLink = c.worker->status().link;
        QList<QByteArray> sent;
        for (int k = 0; k < 3; ++k) {
            sent.append(encodeFrame(numberedFrame(10 + k, 16, uint8_t(k % 2))));
            QVERIFY(second.write(sent.last()));
            QVERIFY(waitWithoutEvents(
                [&] { return c.worker->status().framesDecoded == uint64_t(k + 1); }));
        }
        // The old link's frame and the new link's first are on their way; the others wait.
        QTRY_COMPARE(c.collector.frames.size(), 2);
        const FrameIdentity first = c.worker->takeFrameIdentity();
        QCOMPARE(first.bytes, old);
        QVERIFY(first.link != secondLink);
        const FrameIdentity second0 = c.worker->takeFrameIdentity();
        QCOMPARE(second0.bytes, sent[0]);
        QCOMPARE(second0.link, secondLink);
        QCOMPARE(second0.index, int64_t(0));
        c.worker->frameHandled(first.link); // answered late: nothing more comes for it
        QTest::qWait(100);
        QCOMPARE(c.collector.frames.size(), 2);
        c.worker->frameHandled(second0.link);
        QTRY_COMPARE(c.collector.frames.size(), 3);
        const FrameIdentity newest = c.worker->takeFrameIdentity();
        QCOMPARE(newest.bytes, sent[2]); // the newest waiting frame, with its own bytes
        QCOMPARE(newest.index, int64_t(2));
        QVERIFY(newest.seconds > second0.seconds);
        QCOMPARE(c.collector.frames.last(), expectedRecord(numberedFrame(12, 16, 0)));
        QCOMPARE(c.worker->status().framesSkipped, uint64_t(1));
    }

    void openFailures_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty name") << QString() << QString();
        QTest::newRow("no such device") << QStringLiteral("/dev/vazorez-no-such-port") << QString();
        QTest::newRow("not a tty") << QStringLiteral("/dev/null") << QString();
        // A recording given where a port belongs: the serial library would speak of ioctl.
        QTest::newRow("a file") << QCoreApplication::applicationFilePath()
                                << QStringLiteral("a file, not a serial port");
        QTest::newRow("a folder") << QCoreApplication::applicationDirPath()
                                  << QStringLiteral("a folder, not a serial port");
    }

    void openFailures()
    {
        Connected c;
        QFETCH(QString, name);
        QFETCH(QString, reason);
        c.worker->openPort(name, LineSettings::kBaudRate);
        QCOMPARE(c.collector.failureCount, 1);
        QCOMPARE(c.collector.readyCount, 0);
        const QString said = c.worker->openErrorString();
        QVERIFY2(!said.isEmpty(), "a failed open says why");
        QVERIFY2(said.contains(reason), qPrintable(said));
        // The window's box names the port before the reason: the reason must not name it again.
        QVERIFY2(name.isEmpty() || !said.contains(name), qPrintable(said));
        QVERIFY(!c.worker->status().open);
    }

    void reopenStartsCleanAndGivesOneResult()
    {
        Connected c;
        QVERIFY(c.open());
        // The first half of a frame on the first line, the rest on the second: the two lines'
        // bytes used to join into a frame neither line sent.
        const QByteArray mixed = encodeFrame(numberedFrame(9, 128, 0));
        QVERIFY(c.line.write(mixed.left(500)));
        QTRY_COMPARE(c.worker->status().bytesReceived, uint64_t(500));
        PseudoTerminal second;
        c.worker->openPort(second.slavePath(), LineSettings::kBaudRate);
        QCOMPARE(c.collector.readyCount, 2);
        QCOMPARE(c.collector.failureCount, 0);
        QCOMPARE(c.worker->status().name, second.slavePath());
        // The new line delivers; the old one is closed.
        const FrameValues fresh = numberedFrame(1, 16, 0);
        QVERIFY(second.write(mixed.mid(500) + encodeFrame(fresh)));
        QTRY_COMPARE(c.collector.frames.size(), 1);
        QCOMPARE(c.collector.frames.first(), expectedRecord(fresh)); // a mixed frame would come first
        c.worker->closePort();
        c.worker->closePort(); // on a closed port: nothing, and no signal
        QCOMPARE(c.collector.readyCount + c.collector.failureCount, 2);
    }

    void hangUpIsReportedNeitherSpinsNorBlocksReopening()
    {
        Connected c;
        QStringList lost;
        connect(c.worker.get(), &SerialPort::signalComPortLost, &c.collector,
                [&lost](const QString &reason) { lost.append(reason); }, Qt::QueuedConnection);
        QVERIFY(c.open());
        QVERIFY(c.line.write(encodeFrame(numberedFrame(1, 128, 0))));
        QTRY_COMPARE(c.collector.frames.size(), 1);
        c.line.closeMaster(); // the adapter is pulled
        QTRY_COMPARE(lost.size(), 1);
        QVERIFY2(!lost.first().isEmpty(), "the loss says why");
        QVERIFY(!c.worker->status().open);
        QTest::qWait(200);
        const double before = processCpuSeconds();
        QTest::qWait(1000);
        // A read notifier left on by a hung-up tty spins a core: about a second of CPU here.
        QVERIFY2(processCpuSeconds() - before < 0.5, "the worker spins after a hang-up");
        c.worker->closePort();
        PseudoTerminal fresh;
        c.worker->openPort(fresh.slavePath(), LineSettings::kBaudRate);
        QCOMPARE(c.collector.readyCount, 2);
        QVERIFY(fresh.write(encodeFrame(numberedFrame(2, 128, 1))));
        QTRY_COMPARE(c.collector.frames.size(), 2);
        QCOMPARE(c.collector.frames.last(), expectedRecord(numberedFrame(2, 128, 1)));
    }

    void deletingWhileStreamingStopsCleanly()
    {
        for (int round = 0; round < 5; ++round) {
            Connected c;
            QVERIFY(c.open());
            std::atomic<bool> stop {false};
            std::thread board([&] {
                for (int k = 0; !stop; ++k)
                    if (!c.line.write(encodeFrame(numberedFrame(k, 128, 0)), 200))
                        break;
            });
            QTRY_VERIFY(c.collector.frames.size() >= 3);
            c.worker.reset();
            // Frames queued before the deletion still land; none comes after it, though the board
            // goes on writing.
            QCoreApplication::processEvents();
            const int seen = c.collector.frames.size();
            QTest::qWait(50);
            stop = true;
            board.join();
            QCOMPARE(c.collector.frames.size(), seen);
            QCOMPARE(c.line.readAvailable(), QByteArray());
        }
    }
};

QTEST_GUILESS_MAIN(TestSerialPort)
#include "tst_serialport.moc"
