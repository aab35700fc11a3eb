// SPDX-License-Identifier: MIT
// The vazorez-sim and vazorez-demo programs as processes, read through the real serial worker.
// (The simulator with every fault on through the worker at length: tst_soak.)
#include "boardmodel.h"
#include "capturereader.h"
#include "framesupport.h"
#include "hdf5writer.h"
#include "serialport.h"
#include "qtwarnings.h"
#include "radarprofile.h"
#include "simscene.h"
#include "simulator.h"

#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// How long a tool is given to end: an event awaited, with room for a loaded machine under the
// sanitizers, where it takes many times as long as alone.
constexpr int kPatienceMs = 120000;

// Reads the simulator's line from its slave side the way a slow program does: `chunk` bytes at a
// time with `pauseMs` between reads, until the line hangs up or `stopAfter` bytes have come (then
// the line is held open unread until the simulator ends).
QByteArray readLine(QProcess &sim, const QString &path, int chunk, int pauseMs, int stopAfter = -1)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOCTTY);
    if (fd < 0)
        return {};
    QByteArray taken;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 60000 && (stopAfter < 0 || taken.size() < stopAfter)) {
        pollfd line {fd, POLLIN, 0};
        if (::poll(&line, 1, 100) <= 0)
            continue;
        QByteArray bytes(stopAfter < 0 ? chunk : std::min(chunk, stopAfter - int(taken.size())), 0);
        const ssize_t got = ::read(fd, bytes.data(), size_t(bytes.size()));
        if (got <= 0)
            break; // hung up
        taken += bytes.left(int(got));
        if (pauseMs > 0)
            QThread::msleep(ulong(pauseMs));
    }
    sim.waitForFinished(kPatienceMs);
    ::close(fd);
    return taken;
}

// A recording of frames of every size a board sends, with junk (header and end bytes included)
// before some of them.
QByteArray mixedRecording(QByteArray *framesOnly)
{
    QByteArray file;
    int number = 0;
    for (int samples : {0, 1, 16, 64, 128, 255, 128, 16}) {
        ++number;
        const QByteArray frame = encodeFrame(numberedFrame(number, samples, uint8_t(number % 2)));
        if (number % 3 == 0)
            file += QByteArray::fromHex("A2E0011600A21605");
        file += frame;
        *framesOnly += frame;
    }
    return file;
}

// The test's files, gone when it ends.
QTemporaryDir &scratch()
{
    static QTemporaryDir dir;
    return dir;
}

QString writeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = scratch().filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

// True when `received` is `expected` with some frames left out, order kept.
bool isInOrderSubset(const QList<frame_t> &received, const QList<frame_t> &expected)
{
    int at = 0;
    for (const frame_t &frame : received) {
        while (at < expected.size() && expected[at] != frame)
            ++at;
        if (at == expected.size())
            return false;
        ++at;
    }
    return true;
}

// The processor time a running process has used so far, from /proc/PID/stat; -1 when unknown.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command (which may hold spaces) in parentheses; utime and stime are
    // the 14th and 15th of the line.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return (fields[11].toLongLong() + fields[12].toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

QList<frame_t> boardFrames(SimMode mode, int samples, uint32_t seed, int count)
{
    BoardModel board(mode, samples, seed);
    QList<frame_t> frames;
    for (int index = 0; index < count; ++index)
        frames.append(expectedRecord(board.frame(index)));
    return frames;
}

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { registerFrameMetaType(); }

    void simProgramStreamsAndSummarises()
    {
        QProcess sim;
        sim.start(siblingProgram("vazorez-sim"), {"--count", "60", "--rate", "200", "--mode", "fmcw",
                                           "--seed", "9", "--bad-checksum", "0.2", "--junk", "0.2"});
        QVERIFY(sim.waitForReadyRead(5000));
        const QString first = QString::fromLocal8Bit(sim.readLine()).trimmed();
        QVERIFY2(first.startsWith("port: /dev/"), qPrintable(first));
        FrameCollector collector;
        SerialPort worker;
        collector.listenTo(&worker);
        worker.openPort(first.mid(6), LineSettings::kBaudRate);
        QCOMPARE(collector.readyCount, 1);
        QVERIFY(sim.waitForFinished(kPatienceMs));
        QCOMPARE(sim.exitCode(), 0);
        const QString summary = QString::fromLocal8Bit(sim.readAllStandardOutput()).trimmed();
        const auto match = QRegularExpression("^sent: (\\d+) frames, (\\d+) bytes, (\\d+) faulty$").match(summary);
        QVERIFY2(match.hasMatch(), qPrintable(summary));
        QCOMPARE(match.captured(1).toInt(), 60);
        QTRY_COMPARE(collector.frames.size(), 60 - match.captured(3).toInt());
        QVERIFY(isInOrderSubset(collector.frames, boardFrames(SimMode::Fmcw, 128, 9, 60)));
    }

    // --radar and --target, and the front end's options: the frames are the scene the profile's
    // physics makes, the same as the model in-process makes them.
    void simProgramPlaysARadarScene_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("samples");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QList<double>>("targets"); // range, speed, level of each
        QTest::addColumn<QList<double>>("frontEnd"); // gain, phase, dc I, dc Q, drift, then range, level of each clutter
        QTest::addColumn<QString>("remark"); // on standard error, "" for none
        QTest::newRow("two targets, n=64")
            << QStringList{"--target", "0,-12", "--target", "20,6,40"} << 64 << "alternate"
            << QList<double>{0.0, -12.0, 50.0, 20.0, 6.0, 40.0} << QList<double>() << "";
        // A walker with an offset, clutter and an imperfect Q channel.
        QTest::newRow("walker with an offset and clutter, n=100")
            << QStringList{"--target", "5,-0.5,40", "--dc", "300,-200", "--clutter", "3,60", "--iq-imbalance", "1,6",
                           "--dc-drift", "20", "--clutter", "12.5,45"}
            << 100 << "alternate" << QList<double>{5.0, -0.5, 40.0}
            << QList<double>{1.0, 6.0, 300.0, -200.0, 20.0, 3.0, 60.0, 12.5, 45.0}
            << "vazorez-sim: target 5,-0.5,40: below the slowest speed the analysis reports";
        QTest::newRow("clipped tone in FMCW, n=255")
            << QStringList{"--target", "30,2,66", "--dc", "-300,100"} << 255 << "fmcw"
            << QList<double>{30.0, 2.0, 66.0} << QList<double>{0.0, 0.0, -300.0, 100.0, 0.0}
            << "vazorez-sim: target 30,2,66: its tone of 1995 digits with the offset reaches the ADC's rails: "
               "frames will be clipped";
    }

    void simProgramPlaysARadarScene()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, samples);
        QFETCH(QString, mode);
        QFETCH(QList<double>, targets);
        QFETCH(QList<double>, frontEnd);
        QFETCH(QString, remark);
        const QString profilePath = QStringLiteral(VAZOREZ_SOURCE_DIR "/profiles/example-k-band.json");
        QProcess sim;
        sim.start(siblingProgram("vazorez-sim"), QStringList{"--radar", profilePath, "--mode", mode, "--samples",
                                                             QString::number(samples), "--count", "30", "--rate",
                                                             "200", "--seed", "4"} + arguments);
        QVERIFY(sim.waitForReadyRead(5000));
        const QString first = QString::fromLocal8Bit(sim.readLine()).trimmed();
        QVERIFY2(first.startsWith("port: /dev/"), qPrintable(first));
        FrameCollector collector;
        SerialPort worker;
        collector.listenTo(&worker);
        worker.openPort(first.mid(6), LineSettings::kBaudRate);
        QVERIFY(sim.waitForFinished(kPatienceMs));
        QCOMPARE(sim.exitCode(), 0);
        const QString errors = QString::fromLocal8Bit(sim.readAllStandardError()).trimmed();
        if (remark.isEmpty())
            QCOMPARE(errors, QString());
        else
            QVERIFY2(errors.startsWith(remark) && !errors.contains('\n'), qPrintable(errors));
        RadarProfile profile;
        QString error;
        QVERIFY(RadarProfile::load(profilePath, &profile, &error));
        std::vector<SimTarget> scene;
        for (int k = 0; k + 2 < targets.size(); k += 3)
            scene.push_back({targets[k], targets[k + 1], targets[k + 2]});
        SimFrontEnd front;
        if (!frontEnd.isEmpty()) {
            front.iqGainDb = frontEnd[0];
            front.iqPhaseDeg = frontEnd[1];
            front.dcI = frontEnd[2];
            front.dcQ = frontEnd[3];
            front.dcDriftPerS = frontEnd[4];
            for (int k = 5; k + 1 < frontEnd.size(); k += 2)
                front.clutter.push_back({frontEnd[k], 0.0, frontEnd[k + 1]});
        }
        const SimMode simMode = mode == "fmcw" ? SimMode::Fmcw : SimMode::Alternate;
        auto frames = [&](bool withFrontEnd) {
            BoardModel board(simMode, samples, 4);
            board.setRadarScene(profile, scene);
            if (withFrontEnd)
                board.setFrontEnd(front);
            board.setFramePeriod(1.0 / 200); // --rate 200 is the board's own pace
            QList<frame_t> made;
            for (int index = 0; index < 30; ++index)
                made.append(expectedRecord(board.frame(index)));
            return made;
        };
        const QList<frame_t> expected = frames(true);
        QTRY_COMPARE(collector.frames.size(), 30);
        QVERIFY(collector.frames == expected);
        QVERIFY(expected != boardFrames(simMode, samples, 4, 30));
        if (!front.ideal())
            QVERIFY(expected != frames(false));
    }

    // --scene and --truth: the frames are the moving scene the model makes in-process, and the
    // truth has a row per target in view per frame, to the last frame made however the stream
    // ends (its count, or Ctrl-C); a truth that cannot be written ends the stream, said.
    void simProgramWritesTheSceneTruth_data()
    {
        QTest::addColumn<bool>("interrupt");
        QTest::addColumn<bool>("full"); // files may grow to 1 KiB only
        QTest::newRow("40 frames") << false << false;
        QTest::newRow("SIGINT") << true << false;
        QTest::newRow("no room for the truth") << false << true;
    }

    void simProgramWritesTheSceneTruth()
    {
        QFETCH(bool, interrupt);
        QFETCH(bool, full);
        // At --rate 200 a frame every 5 ms: the car is in view in frames 0 to 20 (until 102.5 ms),
        // the walker from frame 11 (52.5 ms) on, the --target in every frame.
        const QString scenePath = writeFile("truth-scene.json", R"({"targets": [
            {"end_s": 0.1025, "range_m": 20, "speed_mps": -10, "lateral_m": 3},
            {"start_s": 0.0525, "range_m": 5, "speed_mps": 2, "level_db": 40}]})");
        const QString truthPath = scratch().filePath(QStringLiteral("truth-%1-%2.csv").arg(interrupt).arg(full));
        const QString profilePath = QStringLiteral(VAZOREZ_SOURCE_DIR "/profiles/example-k-band.json");
        QStringList arguments{"--radar", profilePath, "--scene", scenePath, "--target", "8,1.5,40", "--truth",
                              truthPath, "--mode", "alternate", "--samples", "100", "--rate", "200", "--seed", "6"};
        if (!interrupt)
            arguments << "--count" << (full ? "2000" : "40");
        QProcess sim;
        if (full)
            // Past the limit a write fails with "File too large" instead of the signal that would
            // end the process.
            sim.start("bash", QStringList{"-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\" \"$@\"",
                                          siblingProgram("vazorez-sim")} + arguments);
        else
            sim.start(siblingProgram("vazorez-sim"), arguments);
        QVERIFY(sim.waitForReadyRead(5000));
        const QString first = QString::fromLocal8Bit(sim.readLine()).trimmed();
        QVERIFY2(first.startsWith("port: /dev/"), qPrintable(first));
        FrameCollector collector;
        SerialPort worker;
        collector.listenTo(&worker);
        worker.openPort(first.mid(6), LineSettings::kBaudRate);
        if (interrupt) {
            QTRY_VERIFY_WITH_TIMEOUT(collector.frames.size() >= 40, 10000);
            ::kill(pid_t(sim.processId()), SIGINT);
        }
        QVERIFY(sim.waitForFinished(kPatienceMs));
        if (full) {
            QCOMPARE(sim.exitCode(), 1);
            const QString said = QString::fromLocal8Bit(sim.readAllStandardError());
            QVERIFY2(said.contains(QStringLiteral("vazorez-sim: cannot write --truth %1: ").arg(truthPath))
                         && said.contains("the stream ended there"),
                qPrintable(said));
            QVERIFY(collector.frames.size() < 2000);
            return;
        }
        QCOMPARE(sim.exitCode(), 0);
        QCOMPARE(QString::fromLocal8Bit(sim.readAllStandardError()), QString());

        RadarProfile profile;
        QString error;
        QVERIFY(RadarProfile::load(profilePath, &profile, &error));
        SimScene scene;
        QVERIFY(SimScene::load(scenePath, &scene, &error));
        BoardModel board(SimMode::Alternate, 100, 6);
        board.setRadarScene(profile, {{8.0, 1.5, 40.0}});
        board.setScene(profile, scene);
        board.setFramePeriod(1.0 / 200);
        QList<frame_t> expected;
        for (int index = 0; index < 40; ++index)
            expected.append(expectedRecord(board.frame(index)));
        QTRY_VERIFY(collector.frames.size() >= 40);
        QVERIFY(collector.frames.mid(0, 40) == expected);

        QFile truth(truthPath);
        QVERIFY(truth.open(QIODevice::ReadOnly));
        const QByteArray text = truth.readAll();
        QVERIFY(text.endsWith('\n'));
        QList<QByteArray> lines = text.trimmed().split('\n');
        QCOMPARE(lines.takeFirst(), QByteArray("frame,time_s,target,range_m,speed_mps,level_db"));
        int frame = 0;
        int rows = 0;
        for (int at = 0; at < lines.size(); ++frame) {
            const double seconds = frame * 0.005;
            QList<QList<double>> inView; // target, range, speed, level: the closed forms
            if (frame <= 20) {
                const double x = std::sqrt(391.0) - 10.0 * seconds;
                inView.append({1, std::hypot(x, 3.0), -10.0 * x / std::hypot(x, 3.0), 50.0});
            }
            if (frame >= 11)
                inView.append({2, 5.0 + 2.0 * (seconds - 0.0525), 2.0, 40.0});
            inView.append({3, 8.0, 1.5, 40.0});
            for (const QList<double> &target : inView) {
                QVERIFY2(at < lines.size(), qPrintable(QStringLiteral("frame %1 is cut short").arg(frame)));
                const QList<QByteArray> fields = lines[at++].split(',');
                QCOMPARE(fields.size(), 6);
                QCOMPARE(fields[0].toInt(), frame);
                QVERIFY(std::abs(fields[1].toDouble() - seconds) < 1e-6);
                QCOMPARE(fields[2].toInt(), int(target[0]));
                for (int k = 1; k < 4; ++k)
                    QVERIFY2(std::abs(fields[k + 2].toDouble() - target[k]) < 1e-4, lines[at - 1].constData());
                ++rows;
            }
        }
        // Every frame made has its rows: 21 + 29 + 40 for the 40 counted; more when interrupted,
        // for the frames still made while the reader took the first 40.
        if (interrupt)
            QVERIFY2(frame >= 40, qPrintable(QString::number(frame)));
        else
            QCOMPARE(rows, 90);
    }

    void simulatorHandsOverExactlyWhatWasRead_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("readerDelayMs"); // -1: no reader ever comes
        QTest::addColumn<int>("chunk");
        QTest::addColumn<int>("pauseMs");
        QTest::addColumn<int>("stopAfter");
        QTest::addColumn<QByteArray>("expected"); // the bytes the reader must get
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("remark"); // on standard error, "" for none

        BoardModel board(SimMode::Cw, 128, 1);
        QByteArray stream;
        for (int index = 0; index < 300; ++index)
            stream += encodeFrame(board.frame(index));
        // Closing the line used to discard what this reader had not taken yet.
        QTest::newRow("slow reader, --count 300 --rate max")
            << QStringList{"--count", "300", "--rate", "max"} << 0 << 512 << 5 << -1 << stream
            << "sent: 300 frames, 309300 bytes, 0 faulty" << "";
        // A reader that stops: what it never took is not counted as sent, and is said.
        QTest::newRow("reader that stops in frame 2")
            << QStringList{"--count", "5", "--rate", "max"} << 0 << 4096 << 0 << 1531 << stream.left(1531)
            << "sent: 1 frames, 1531 bytes, 0 faulty"
            << "vazorez-sim: the reader did not take the last 4 frames (3624 bytes): they are not counted as sent";
        // A counted stream waits for its reader asleep: it used to spin on the hang-up.
        QTest::newRow("--count 5 started before its reader")
            << QStringList{"--count", "5"} << 1500 << 4096 << 0 << -1 << stream.left(5 * 1031)
            << "sent: 5 frames, 5155 bytes, 0 faulty" << "";
        // Nothing to send: it ends at once instead of waiting for a reader for ever.
        QTest::newRow("--count 0 without a reader")
            << QStringList{"--count", "0"} << -1 << 4096 << 0 << -1 << QByteArray()
            << "sent: 0 frames, 0 bytes, 0 faulty" << "";
        QByteArray framesOnly;
        const QString recording = writeFile("mixed.raw", mixedRecording(&framesOnly));
        // Started long before its reader: nothing may be dropped while nobody reads.
        QTest::newRow("replay started before its reader")
            << QStringList{"--replay", recording, "--rate", "line"} << 1500 << 4096 << 0 << -1 << framesOnly
            << QStringLiteral("sent: 8 frames, %1 bytes, 0 faulty").arg(framesOnly.size())
            << QStringLiteral("vazorez-sim: %1: 16 bytes hold no frame (2 rejected frames); they are not sent").arg(recording);
        // An h5 recording plays its frames' own bytes (the help used to name raw files only).
        const QString h5 = scratch().filePath("mixed.h5");
        {
            Hdf5Writer writer;
            CaptureReader frames(recording);
            RecordedFrame frame;
            bool written = writer.create(h5, RecordingContext{});
            while (written && frames.next(frame))
                written = writer.append(frame.seconds, frame.bytes.constData(), frame.bytes.size());
            if (!written || !writer.close())
                QFAIL(qPrintable(writer.errorString()));
        }
        QTest::newRow("replay of an h5 recording")
            << QStringList{"--replay", h5, "--rate", "max"} << 0 << 4096 << 0 << -1 << framesOnly
            << QStringLiteral("sent: 8 frames, %1 bytes, 0 faulty").arg(framesOnly.size()) << "";
        // A target the analysis does not show where it is is still played as the physics makes
        // it, but the user is told where it shows.
        const QString profilePath = QStringLiteral(VAZOREZ_SOURCE_DIR "/profiles/example-k-band.json");
        RadarProfile profile;
        QString error;
        if (!RadarProfile::load(profilePath, &profile, &error))
            QFAIL(qPrintable(error));
        for (const bool fmcw : {false, true}) {
            BoardModel radarBoard(fmcw ? SimMode::Fmcw : SimMode::Cw, 16, 1);
            radarBoard.setRadarScene(profile, {fmcw ? SimTarget{50.0, 0.0, 50.0} : SimTarget{12.0, 80.0, 50.0}});
            QByteArray folded;
            for (int index = 0; index < 3; ++index)
                folded += encodeFrame(radarBoard.frame(index));
            QTest::addRow("%s target beyond the profile's reach", fmcw ? "FMCW" : "CW")
                << QStringList{"--radar", profilePath, "--target", fmcw ? "50,0" : "12,80", "--mode", fmcw ? "fmcw" : "cw",
                               "--samples", "16", "--count", "3", "--rate", "max"}
                << 0 << 4096 << 0 << -1 << folded << "sent: 3 frames, 405 bytes, 0 faulty"
                << (fmcw ? QStringLiteral("vazorez-sim: target 50,0: its beat tone (50.0 m) is beyond the 38.4 m the "
                                          "analysis reads (range_span half): it lies on the side the analysis does "
                                          "not read and is not reported")
                         : QStringLiteral("vazorez-sim: target 12,80: 80 m/s is beyond the \u00b162.1 m/s the "
                                          "profile tells apart: it folds and is reported at -44.3 m/s"));
        }
    }

    void simulatorHandsOverExactlyWhatWasRead()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, readerDelayMs);
        QFETCH(int, chunk);
        QFETCH(int, pauseMs);
        QFETCH(int, stopAfter);
        QFETCH(QByteArray, expected);
        QFETCH(QString, summary);
        QFETCH(QString, remark);
        QProcess sim;
        sim.start(siblingProgram("vazorez-sim"), arguments);
        QVERIFY(sim.waitForReadyRead(5000));
        const QString first = QString::fromLocal8Bit(sim.readLine()).trimmed();
        QVERIFY2(first.startsWith("port: /dev/"), qPrintable(first));
        if (readerDelayMs > 0) {
            QVERIFY(!sim.waitForFinished(readerDelayMs)); // the reader is late; the board waits
            // Asleep: a bound no loaded machine can break (a spinning wait used a whole core).
            const double cpu = cpuSeconds(sim.processId());
            QVERIFY2(cpu >= 0 && cpu < 0.3 * readerDelayMs / 1000.0,
                     qPrintable(QStringLiteral("%1 s of processor time").arg(cpu)));
        }
        if (readerDelayMs < 0)
            QVERIFY(sim.waitForFinished(kPatienceMs));
        const QByteArray taken
            = readerDelayMs < 0 ? QByteArray() : readLine(sim, first.mid(6), chunk, pauseMs, stopAfter);
        QCOMPARE(sim.state(), QProcess::NotRunning);
        QCOMPARE(sim.exitCode(), 0);
        QCOMPARE(taken.size(), expected.size());
        QVERIFY(taken == expected);
        QCOMPARE(QString::fromLocal8Bit(sim.readAllStandardOutput()).trimmed(), summary);
        QCOMPARE(QString::fromLocal8Bit(sim.readAllStandardError()).trimmed(), remark);
    }

    void simProgramSumsUpAReaderThatFallsBehind()
    {
        // A reader slower than the stream takes the line for a moment hundreds of times: each
        // spell used to be two lines on standard error. They come as sums, at most one line a
        // second, and the sums add up to the exact total at the end.
        QElapsedTimer running;
        running.start();
        QProcess sim;
        sim.start(siblingProgram("vazorez-sim"), {"--rate", "100000", "--count", "3000"});
        QVERIFY(sim.waitForReadyRead(5000));
        const QString first = QString::fromLocal8Bit(sim.readLine()).trimmed();
        QVERIFY2(first.startsWith("port: /dev/"), qPrintable(first));
        const QByteArray taken = readLine(sim, first.mid(6), 1031, 10); // a frame each 10 ms
        const double seconds = running.elapsed() / 1000.0;
        QCOMPARE(sim.state(), QProcess::NotRunning);
        QCOMPARE(sim.exitCode(), 0);
        const auto sent = QRegularExpression("^sent: (\\d+) frames, (\\d+) bytes, 0 faulty$")
                              .match(QString::fromLocal8Bit(sim.readAllStandardOutput()).trimmed());
        QVERIFY(sent.hasMatch());
        QCOMPARE(sent.captured(2).toInt(), taken.size());
        QCOMPARE(taken.size(), sent.captured(1).toInt() * 1031);
        const QStringList lines = QString::fromLocal8Bit(sim.readAllStandardError()).trimmed().split('\n');
        const QRegularExpression sum("^vazorez-sim: (in all |a reader took the line again: )?nobody read the line "
                                     "for \\d+\\.\\d s in (\\d+) spells?, (\\d+) frames? dropped$");
        int64_t spells = 0, dropped = 0;
        for (const QString &line : lines.mid(0, lines.size() - 1)) {
            const auto said = sum.match(line);
            QVERIFY2(line == "vazorez-sim: nobody is reading the line: dropping frames until a reader takes them"
                         || (said.hasMatch() && said.captured(1) != "in all "),
                     qPrintable(line));
            spells += said.captured(2).toLongLong();
            dropped += said.captured(3).toLongLong();
        }
        const auto total = sum.match(lines.last());
        QVERIFY2(total.hasMatch() && total.captured(1) == "in all ", qPrintable(lines.join('\n')));
        // Every frame was taken or dropped, and the sums said on the way are the whole.
        QCOMPARE(total.captured(3).toInt() + sent.captured(1).toInt(), 3000);
        QVERIFY(total.captured(3).toInt() > 0);
        QCOMPARE(dropped, total.captured(3).toLongLong());
        QCOMPARE(spells, total.captured(2).toLongLong());
        // One line at the first spell, then one a second at most, and the two at the end.
        QVERIFY2(lines.size() <= int(seconds) + 3,
                 qPrintable(QStringLiteral("%1 lines in %2 s: %3").arg(lines.size()).arg(seconds).arg(lines.join('\n'))));
    }

    void simProgramStopsOnSignals_data()
    {
        QTest::addColumn<bool>("interrupt");
        QTest::newRow("SIGINT") << true;
        QTest::newRow("SIGTERM") << false;
    }

    void simProgramStopsOnSignals()
    {
        // Nobody reads this line: the simulator must neither block nor die.
        QFETCH(bool, interrupt);
        QProcess sim;
        sim.start(siblingProgram("vazorez-sim"), {"--rate", "line"});
        QVERIFY(sim.waitForReadyRead(5000));
        QTest::qWait(700);
        ::kill(pid_t(sim.processId()), interrupt ? SIGINT : SIGTERM);
        QVERIFY(sim.waitForFinished(kPatienceMs));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 0);
        const QStringList lines = QString::fromLocal8Bit(sim.readAllStandardOutput()).trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        // Nobody took a byte: nothing was sent, and standard error says what stayed in the line.
        QCOMPARE(lines[1], QStringLiteral("sent: 0 frames, 0 bytes, 0 faulty"));
        const QString errors = QString::fromLocal8Bit(sim.readAllStandardError());
        QVERIFY2(QRegularExpression("the reader did not take the last [1-9]\\d* frames").match(errors).hasMatch(),
                 qPrintable(errors));
    }

    void simProgramRejectsBadInput_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("names"); // what the line must say, "" for any
        const QString noFrames = writeFile("no-frames.raw", "time,value\n0.1,3\n");
        QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << QString();
        QTest::newRow("samples out of range") << QStringList{"--samples", "256"} << 2 << QString();
        QTest::newRow("bad mode") << QStringList{"--mode", "pulse"} << 2 << QString();
        QTest::newRow("bad rate") << QStringList{"--rate", "fast"} << 2 << QString();
        QTest::newRow("rate below one frame in 100 s") << QStringList{"--rate", "1e-7"} << 2 << QString();
        QTest::newRow("rate above 100000 frames/s") << QStringList{"--rate", "200000"} << 2 << QString();
        QTest::newRow("probability above 1") << QStringList{"--junk", "1.5"} << 2 << QString();
        QTest::newRow("stray argument") << QStringList{"extra"} << 2 << QString();
        QTest::newRow("missing device") << QStringList{"--device", "/dev/vazorez-none"} << 1 << QString();
        QTest::newRow("device that is no tty") << QStringList{"--device", "/dev/null"} << 1 << QString();
        QTest::newRow("missing replay file") << QStringList{"--replay", "/nonexistent.raw"} << 1 << QString();
        QTest::newRow("replay of a file with no frame") << QStringList{"--replay", noFrames} << 1 << QString();
        QTest::newRow("--mode with --replay") << QStringList{"--replay", noFrames, "--mode", "fmcw"} << 2 << QString();
        QTest::newRow("--samples with --replay") << QStringList{"--samples", "16", "--replay", noFrames} << 2 << QString();
        const QString profile = QStringLiteral(VAZOREZ_SOURCE_DIR "/profiles/example-k-band.json");
        QTest::newRow("--target without --radar") << QStringList{"--target", "10,-5"} << 2 << QString();
        QTest::newRow("missing radar profile") << QStringList{"--radar", "/nonexistent.json"} << 2 << QString();
        QTest::newRow("radar profile not JSON") << QStringList{"--radar", noFrames} << 2 << QString();
        QTest::newRow("target without its speed") << QStringList{"--radar", profile, "--target", "10"} << 2 << QString();
        QTest::newRow("target beyond any radar") << QStringList{"--radar", profile, "--target", "1e300,0"} << 2 << QString();
        QTest::newRow("person with half a heartbeat") << QStringList{"--radar", profile, "--person", "1.5,4,15,0.3"} << 2
                                                      << "a heartbeat needs both HMM and HPER_MIN";
        QTest::newRow("--radar with --replay") << QStringList{"--replay", noFrames, "--radar", profile} << 2 << QString();
        const QString cwOnly = writeFile("cw-only.json", R"({"carrier_hz": 24e9, "sample_rate_hz": 20000, "approaching": "negative"})");
        QTest::newRow("FMCW from a profile without a sweep") << QStringList{"--radar", cwOnly, "--mode", "fmcw"} << 2 << QString();
        for (const char *option : {"--iq-imbalance", "--dc", "--dc-drift", "--clutter"})
            QTest::addRow("%s without --radar", option)
                << QStringList{option, "1,6"} << 2 << QStringLiteral("%1 needs --radar PROFILE.json").arg(option);
        QTest::newRow("I/Q imbalance beyond 6 dB") << QStringList{"--radar", profile, "--iq-imbalance", "7,0"} << 2
                                                   << "--iq-imbalance wants GAIN_DB,PHASE_DEG";
        QTest::newRow("offset beyond the ADC") << QStringList{"--radar", profile, "--dc", "0,-2100"} << 2
                                               << "--dc wants I,Q in digits from mid-scale";
        QTest::newRow("clutter without its level") << QStringList{"--radar", profile, "--clutter", "3"} << 2
                                                   << "--clutter wants RANGE_M,LEVEL_DB";
        const QString scene = writeFile("one-walker.json", R"({"targets": [{"range_m": 30, "speed_mps": -1.2}]})");
        const QString badScene = writeFile("bad-scene.json", R"({"targets": [{"range_m": 30, "speed_mps": -1.2},
                                                                            {"range_m": 30, "speed_mps": "fast"}]})");
        for (const char *option : {"--scene", "--truth"})
            QTest::addRow("%s without --radar", option)
                << QStringList{option, scene} << 2 << QStringLiteral("%1 needs --radar PROFILE.json").arg(option);
        QTest::newRow("missing scene") << QStringList{"--radar", profile, "--scene", "/nonexistent.json"} << 2
                                       << "cannot read scene /nonexistent.json";
        QTest::newRow("scene with a bad target") << QStringList{"--radar", profile, "--scene", badScene} << 2
                                                 << badScene + ": target 2: speed_mps must be a number";
        QTest::newRow("--truth into a folder")
            << QStringList{"--radar", profile, "--scene", scene, "--truth", scratch().path()} << 2
            << QStringLiteral("--truth %1 is not a regular file").arg(scratch().path());
        QTest::newRow("--truth into no folder") << QStringList{"--radar", profile, "--truth", "/nonexistent/t.csv"}
                                                << 2 << "cannot write --truth /nonexistent/t.csv";
        QTest::newRow("demo: --truth into a folder")
            << QStringList{"--radar", profile, "--scene", scene, "--truth", scratch().path()} << 2
            << QStringLiteral("--truth %1 is not a regular file").arg(scratch().path());
        QTest::newRow("--help") << QStringList{"--help"} << 0 << QString();
        // No display: the options are read before the window system is needed.
        QTest::newRow("demo: --help") << QStringList{"--help"} << 0 << QString();
        QTest::newRow("demo: unknown option") << QStringList{"--bogus"} << 2 << QString();
        QTest::newRow("demo: replay of a file with no frame") << QStringList{"--replay", noFrames} << 1 << QString();
        QTest::newRow("demo: --dc without --radar") << QStringList{"--dc", "300,-200"} << 2
                                                    << "--dc needs --radar PROFILE.json";
        QTest::newRow("demo: bad --clutter") << QStringList{"--radar", profile, "--clutter", "3,x"} << 2
                                             << "--clutter wants RANGE_M,LEVEL_DB";
    }

    void simProgramRejectsBadInput()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, names);
        const QString program = QString::fromLatin1(QTest::currentDataTag()).startsWith("demo:")
            ? QStringLiteral("vazorez-demo") : QStringLiteral("vazorez-sim");
        QProcess sim;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        environment.remove("QT_QPA_PLATFORM");
        sim.setProcessEnvironment(environment);
        sim.start(siblingProgram(program), arguments);
        QVERIFY(sim.waitForFinished(kPatienceMs));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), exitCode);
        const QString output = QString::fromLocal8Bit(sim.readAllStandardOutput());
        const QStringList errors = QString::fromLocal8Bit(sim.readAllStandardError()).trimmed().split('\n');
        if (exitCode == 0) {
            QVERIFY2(output.startsWith("Usage: "), qPrintable(output));
            // Under 80 columns, every option's description from one column (they used to break
            // where their lines had been broken for another width).
            QSet<int> columns;
            bool options = false;
            for (const QString &line : output.split('\n')) {
                QVERIFY2(line.size() < 80, qPrintable(line));
                const auto described
                    = QRegularExpression(line.startsWith("  -") ? "^(  -\\S.*?  +)\\S" : "^(\\s+)\\S").match(line);
                if (options && described.hasMatch())
                    columns.insert(described.capturedLength(1));
                options = options || line == "Options:";
            }
            QCOMPARE(columns.size(), 1);
            QVERIFY2(output.simplified().contains("a raw capture, a line dump, or an h5, csv or jsonl recording"),
                     qPrintable(output));
            // The person's value name whole on its option's line.
            QVERIFY2(output.contains("--person <R,MM,PER_MIN[,HMM,HPER_MIN[,DB]]>"), qPrintable(output));
            return;
        }
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors.first().startsWith(program + ": "), qPrintable(errors.first()));
        QVERIFY2(errors.first().contains(names), qPrintable(errors.first()));
        QVERIFY(output.isEmpty());
    }

    void demoShowsFramesAndTakesAPicture_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("remark"); // on standard error
        QTest::newRow("live") << QStringList{"--frames", "20", "--rate", "100", "--mode", "alternate", "--junk", "0.1"}
                              << 0 << "";
        BoardModel board(SimMode::Fmcw, 128, 4);
        QByteArray five;
        for (int index = 0; index < 5; ++index)
            five += encodeFrame(board.frame(index));
        // It used to wait for the 50th frame for ever.
        QTest::newRow("replay shorter than --frames")
            << QStringList{"--replay", writeFile("five.raw", five), "--frames", "50"} << 0
            << "vazorez-demo: the stream ended after 5 of 50 frames";
        // The front end's options are the simulator's, and so are its warnings.
        QTest::newRow("radar scene with a front end")
            << QStringList{"--frames", "10", "--rate", "100", "--mode", "alternate", "--radar",
                           QStringLiteral(VAZOREZ_SOURCE_DIR "/profiles/example-k-band.json"), "--target",
                           "12,-7.5,70", "--dc", "300,-200", "--clutter", "3,60", "--iq-imbalance", "1,6"}
            << 0
            << "vazorez-demo: target 12,-7.5,70: its tone of 3162 digits with the offset reaches the ADC's rails: "
               "frames will be clipped";
        QTest::newRow("picture that cannot be written")
            << QStringList{"--frames", "3", "--rate", "100", "--screenshot", "/nonexistent/demo.png"} << 1
            << "vazorez-demo: cannot write /nonexistent/demo.png: ";
    }

    void demoShowsFramesAndTakesAPicture()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, remark);
        const QString picture = scratch().filePath("demo-screenshot.png");
        QFile::remove(picture);
        if (!arguments.contains("--screenshot"))
            arguments << "--screenshot" << picture;
        QProcess demo;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        demo.setProcessEnvironment(environment);
        demo.start(siblingProgram("vazorez-demo"), QStringList{"--autoconnect"} + arguments);
        QVERIFY(demo.waitForFinished(kPatienceMs));
        QCOMPARE(demo.exitCode(), exitCode);
        const QString errors = QString::fromLocal8Bit(demo.readAllStandardError());
        QVERIFY2(errors.contains(remark), qPrintable(errors));
        if (exitCode != 0)
            return;
        const QImage image(picture);
        QVERIFY(!image.isNull());
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2)
                colours.insert(image.pixel(x, y));
        QVERIFY2(colours.size() > 20, "the demo's picture is blank");
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
