// SPDX-License-Identifier: MIT
// vazorez-capture and vazorez-decode as processes, fed by the simulator over a pseudo-terminal.
#include "boardmodel.h"
#include "faultinjector.h"
#include "linesettings.h"
#include "pseudoterminal.h"
#include "qtwarnings.h"
#include "radarprofile.h"
#include "replayfile.h"
#include "ser2netserver.h"
#include "simulator.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <random>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// How long a tool is given to end: an event awaited, with room for a loaded machine under the
// sanitizers, where it takes many times as long as alone.
constexpr int kPatienceMs = 120000;

constexpr uint32_t kSeed = 21;
constexpr int kFrames = 40;
// A recording of ours whose attribute header was overwritten so that libhdf5 1.10 crashes on it.
const QString kDamagedHeader
    = QStringLiteral(VAZOREZ_SOURCE_DIR "/tests/tools/data/damaged-header.h5");
const FaultRates kFaults {0.1, 0.1, 0.1, 0.1, 0.1};

// The frames the simulator sends for kSeed that are not broken on purpose, as the board's values.
QList<FrameValues> goodFrames()
{
    BoardModel board(SimMode::Alternate, 128, kSeed);
    FaultInjector faults(kFaults, kSeed);
    QList<FrameValues> good;
    QByteArray ignored;
    for (int index = 0; index < kFrames; ++index) {
        const FrameValues values = board.frame(index);
        if (!faults.append(ignored, encodeFrame(values)))
            good.append(values);
    }
    return good;
}

// Starts vazorez-capture on a fresh simulated board and streams once it is recording.
class Session
{
public:
    explicit Session(const QString &replay = QString())
    {
        options.mode = SimMode::Alternate;
        options.count = kFrames;
        options.seed = kSeed;
        // Every frame reaches the capture, however slowly a loaded machine lets it read: a paced
        // board drops the frames the line has no room for when they are due. Tests of a stream
        // that goes on pace it themselves.
        options.rate = SimulatorOptions::Rate::Max;
        options.framesPerSecond = 400;
        options.faults = kFaults;
        options.replayFile = replay;
        if (!replay.isEmpty()) {
            options.count = -1;
            options.faults = {};
        }
    }

    // With `closedOutput` the capture writes into a pipe whose reader has gone away; with
    // `standardOutput` its standard output goes to that file (or FIFO).
    bool start(QStringList arguments, int framesWanted, bool closedOutput = false,
               const QString &standardOutput = QString())
    {
        if (!standardOutput.isEmpty())
            capture.setStandardOutputFile(standardOutput);
        simulator = std::make_unique<Simulator>(options);
        QString path, error;
        if (!options.replayFile.isEmpty()) {
            std::vector<QByteArray> frames;
            QString remark;
            if (!readReplayFile(options.replayFile, &frames, &error, &remark))
                return false;
            simulator->setReplayFrames(std::move(frames));
        }
        if (!simulator->openPseudoTerminal(&path, &error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        if (bridge) {
            // The board behind a serial port server: the capture opens its URL.
            if (!bridge->start(path, bridgeKind, &error)) {
                qWarning("%s", qPrintable(error));
                return false;
            }
            path = bridge->url();
        }
        arguments.prepend(path);
        if (framesWanted > 0)
            arguments << "--frames" << QString::number(framesWanted);
        if (closedOutput)
            capture.start("bash", QStringList{"-c", "\"$0\" \"$@\" | head -c 1 > /dev/null; exit ${PIPESTATUS[0]}",
                                              siblingProgram("vazorez-capture")} + arguments);
        else if (fileLimitKiB > 0)
            // Files may grow to the limit only; past it a write fails with "File too large"
            // (EFBIG) instead of the signal that would end the process.
            capture.start("bash",
                QStringList{"-c",
                    QStringLiteral("trap '' XFSZ; ulimit -f %1; exec \"$0\" \"$@\"")
                        .arg(fileLimitKiB),
                    siblingProgram("vazorez-capture")}
                    + arguments);
        else
            capture.start(siblingProgram("vazorez-capture"), arguments);
        // Stream only once the port is open, so that no frame waits in a full line.
        QElapsedTimer timer;
        timer.start();
        while (!stderrText.contains("recording") && timer.elapsed() < kPatienceMs && capture.state() != QProcess::NotRunning) {
            capture.waitForReadyRead(100);
            stderrText += QString::fromLocal8Bit(capture.readAllStandardError());
        }
        if (!stderrText.contains("recording"))
            return false;
        board = std::thread([this] { simulator->run([this] { return stop.load(); }); });
        return true;
    }

    bool finish(int timeoutMs = kPatienceMs)
    {
        const bool done = capture.waitForFinished(timeoutMs);
        stop = true;
        if (board.joinable())
            board.join();
        stderrText += QString::fromLocal8Bit(capture.readAllStandardError());
        return done;
    }

    // The board finishes its stream, then its line goes away, as when a replay ends.
    void hangUp()
    {
        if (board.joinable())
            board.join();
        simulator.reset();
    }

    // The file the capture writes into until it ends, from its "recording PORT to FILE" line.
    QString writingPath() const
    {
        const auto match = QRegularExpression("recording \\S+ to (\\S+)").match(stderrText);
        return match.hasMatch() ? match.captured(1) : QString();
    }

    ~Session()
    {
        stop = true;
        if (board.joinable())
            board.join();
    }

    SimulatorOptions options;
    int fileLimitKiB = 0; // set before start(): the capture's files may grow to this size only
    std::unique_ptr<Simulator> simulator;
    // Set before start(): ser2net exports the simulator's line and the capture opens its URL.
    std::unique_ptr<Ser2NetServer> bridge;
    Ser2NetServer::Kind bridgeKind = Ser2NetServer::Kind::Raw;
    QProcess capture;
    QString stderrText;
    std::atomic<bool> stop {false};
    std::thread board;
};

struct Row
{
    QString mode;
    std::vector<int16_t> i, q;
    std::vector<int32_t> s;
    bool operator==(const Row &o) const { return mode == o.mode && i == o.i && q == o.q && s == o.s; }
};

Row rowOf(const FrameValues &v)
{
    return {v.mode ? "FMCW" : "CW", v.i, v.q, v.s};
}

// Parses tidy CSV into frames; `times` gets each frame's time_s. Fails on a malformed line.
QList<Row> parseCsv(const QByteArray &text, QStringList *times = nullptr)
{
    QList<Row> frames;
    const QList<QByteArray> lines = text.split('\n');
    if (lines.isEmpty() || lines.first() != "frame,time_s,mode,k,i,q,s" || !text.endsWith('\n'))
        return {};
    int current = -1;
    for (int l = 1; l < lines.size() - 1; ++l) {
        const QList<QByteArray> f = lines[l].split(',');
        if (f.size() != 7)
            return {};
        if (f[0].toInt() != current) {
            current = f[0].toInt();
            if (current != frames.size())
                return {};
            frames.append(Row {QString::fromLatin1(f[2]), {}, {}, {}});
            if (times)
                times->append(QString::fromLatin1(f[1]));
        }
        if (f[3].toInt() != int(frames.last().i.size()))
            return {};
        frames.last().i.push_back(int16_t(f[4].toInt()));
        frames.last().q.push_back(int16_t(f[5].toInt()));
        frames.last().s.push_back(f[6].toInt());
    }
    return frames;
}

QList<Row> parseJsonl(const QByteArray &text)
{
    QList<Row> frames;
    for (const QByteArray &line : text.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.value("frame").toInt(-1) != frames.size() || o.value("n").toInt() != o.value("i").toArray().size())
            return {};
        Row row {o.value("mode").toString(), {}, {}, {}};
        for (const auto v : o.value("i").toArray())
            row.i.push_back(int16_t(v.toInt()));
        for (const auto v : o.value("q").toArray())
            row.q.push_back(int16_t(v.toInt()));
        for (const auto v : o.value("s").toArray())
            row.s.push_back(int32_t(v.toDouble()));
        frames.append(row);
    }
    return frames;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray runDecode(const QStringList &arguments, int *exitCode)
{
    QProcess decode;
    decode.start(siblingProgram("vazorez-decode"), arguments);
    decode.waitForFinished(kPatienceMs);
    *exitCode = decode.exitCode();
    return decode.readAllStandardOutput();
}

} // namespace

class TestCapture : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QHash<QString, QString> captures;

    // A live capture of the simulated session in `format`, taken once and shared by the tests.
    QString captureIn(const QString &format)
    {
        if (captures.contains(format))
            return captures[format];
        const QString path = dir.filePath("live." + format);
        Session session;
        QStringList arguments{"-o", path, "--format", format};
        if (format == "h5")
            arguments << "--note"
                      << "loader check";
        if (!session.start(arguments, int(goodFrames().size())) || !session.finish()
            || session.capture.exitCode() != 0) {
            qWarning("capture failed: %s", qPrintable(session.stderrText));
            return QString();
        }
        return captures[format] = path;
    }

private Q_SLOTS:
    void eachFormatHoldsWhatTheSimulatorEncoded_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("through"); // converted to this format and back by vazorez-decode
        QTest::newRow("csv") << "csv" << "";
        QTest::newRow("jsonl") << "jsonl" << "";
        QTest::newRow("raw") << "raw" << "";
        // Read back by vazorez-decode: the frames as the simulator encoded them, with their times.
        QTest::newRow("h5") << "h5" << "";
        // The text formats convert without losing a value or a time.
        QTest::newRow("csv to h5 and back") << "csv" << "h5";
        QTest::newRow("jsonl to h5 and back") << "jsonl" << "h5";
        QTest::newRow("jsonl to csv and back") << "jsonl" << "csv";
    }

    void eachFormatHoldsWhatTheSimulatorEncoded()
    {
        QFETCH(QString, format);
        QFETCH(QString, through);
        const QList<FrameValues> good = goodFrames();
        QVERIFY(good.size() < kFrames && good.size() > kFrames / 2);
        const QString path = captureIn(format);
        QVERIFY(!path.isEmpty());
        const QByteArray text = readAll(path);
        if (!through.isEmpty()) {
            const QString converted = dir.filePath(format + "-converted." + through);
            int exitCode = -1;
            runDecode({path, "-o", converted}, &exitCode);
            QCOMPARE(exitCode, 0);
            const QByteArray back = runDecode({converted, "--format", format}, &exitCode);
            QCOMPARE(exitCode, 0);
            QCOMPARE(back, text);
            return;
        }
        if (format == "raw") {
            QByteArray expected;
            for (const FrameValues &v : good)
                appendFrame(expected, v);
            QCOMPARE(text, expected);
            return;
        }
        QList<Row> expected;
        for (const FrameValues &v : good)
            expected.append(rowOf(v));
        QStringList times;
        int exitCode = -1;
        const QList<Row> rows = format == "csv" ? parseCsv(text, &times)
            : format == "h5"                    ? parseCsv(runDecode({path}, &exitCode), &times)
                                                : parseJsonl(text);
        QCOMPARE(rows.size(), expected.size());
        QVERIFY(rows == expected);
        if (format == "h5") {
            // The capture's own csv, frame for frame.
            QCOMPARE(exitCode, 0);
            QVERIFY(rows == parseCsv(readAll(captureIn("csv"))));
            // No larger than the wire bytes but for the file's structure (about 20 KiB): the room
            // taken ahead of each write is given back (it left 150 KB of zeros at the end).
            qint64 wire = 0;
            for (const FrameValues &v : good)
                wire += 8 * qint64(v.i.size()) + 7;
            QVERIFY2(QFileInfo(path).size() < wire + 40 * 1024,
                qPrintable(QStringLiteral("%1 bytes for %2 bytes of frames")
                               .arg(QFileInfo(path).size())
                               .arg(wire)));
        }
        if (format == "csv" || format == "h5") {
            // Seconds since the capture started, rising.
            for (int k = 1; k < times.size(); ++k)
                QVERIFY(times[k].toDouble() >= times[k - 1].toDouble());
        }
    }

    void decodingARawCaptureGivesTheLiveValues()
    {
        const QString raw = captureIn("raw");
        const QString csv = captureIn("csv");
        const QString jsonl = captureIn("jsonl");
        QVERIFY(!raw.isEmpty() && !csv.isEmpty() && !jsonl.isEmpty());
        int exitCode = -1;
        const QList<Row> decodedCsv = parseCsv(runDecode({raw}, &exitCode));
        QCOMPARE(exitCode, 0);
        QVERIFY(!decodedCsv.isEmpty());
        QVERIFY(decodedCsv == parseCsv(readAll(csv)));
        const QList<Row> decodedJsonl = parseJsonl(runDecode({raw, "--format", "jsonl"}, &exitCode));
        QCOMPARE(exitCode, 0);
        QVERIFY(decodedJsonl == parseJsonl(readAll(jsonl)));
        QCOMPARE(runDecode({raw, "--format", "raw"}, &exitCode), readAll(raw));
    }

    void pythonLoadsTheRecordingAsSent()
    {
        // The README's loader lines, run by the system's Python on a recording of the simulator.
        const QString h5 = captureIn("h5");
        QVERIFY(!h5.isEmpty());
        QFile expected(dir.filePath("sent.jsonl"));
        QVERIFY(expected.open(QIODevice::WriteOnly));
        for (const FrameValues &v : goodFrames()) {
            QJsonObject frame{{"mode", v.mode}};
            for (const auto &[name, values] : {std::pair{"i", &v.i}, std::pair{"q", &v.q}}) {
                QJsonArray array;
                for (int16_t value : *values)
                    array.append(value);
                frame.insert(name, array);
            }
            QJsonArray spectrum;
            for (int32_t value : v.s)
                spectrum.append(value);
            frame.insert("s", spectrum);
            expected.write(QJsonDocument(frame).toJson(QJsonDocument::Compact) + '\n');
        }
        expected.close();
        QProcess python;
        python.start("/usr/bin/python3",
            {VAZOREZ_SOURCE_DIR "/tests/tools/h5loader_check.py", VAZOREZ_SOURCE_DIR "/README.md",
                h5, expected.fileName()});
        QVERIFY(python.waitForFinished(60000));
        const QByteArray said = python.readAllStandardError() + python.readAllStandardOutput();
        QVERIFY2(python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0,
            said.constData());

        // A profile someone adds with h5py (a string of variable length) is the recording's own:
        // --targets needs no --radar, and a conversion to h5 keeps it.
        const QString edited = dir.filePath("edited.h5");
        QVERIFY(QFile::copy(h5, edited));
        python.start("/usr/bin/python3",
            {"-c", "import h5py, sys; f = h5py.File(sys.argv[1], 'a'); "
                   "f.attrs['radar_profile'] = open(sys.argv[2]).read(); f.close()",
                edited, VAZOREZ_SOURCE_DIR "/profiles/example-k-band.json"});
        QVERIFY(python.waitForFinished(60000) && python.exitCode() == 0);
        int exitCode = -1;
        const QByteArray targets = runDecode({edited, "--targets"}, &exitCode);
        QCOMPARE(exitCode, 0);
        QVERIFY2(targets.startsWith("frame,time_s,mode,rank,range_m,speed_mps,level_db,snr_db\n"), targets.constData());
        const QString converted = dir.filePath("converted.h5");
        runDecode({edited, "-o", converted}, &exitCode);
        QCOMPARE(exitCode, 0);
        QFile::remove(edited);
        QCOMPARE(runDecode({converted, "--targets"}, &exitCode), targets);
        QCOMPARE(exitCode, 0);
    }

    void badRecordingsAreRefused_data()
    {
        QTest::addColumn<QString>("python"); // makes BAD.h5 with h5py; empty: see the test
        QTest::addColumn<QString>("message"); // alternatives separated by " | "
        QTest::newRow("not HDF5") << ""
                                  << "BAD.h5 is not an HDF5 file";
        QTest::newRow("truncated") << ""
                                   << "BAD.h5 is a truncated or damaged HDF5 file (truncated file";
        // One of ours with an object header damaged so that libhdf5 itself may crash reading it
        // (whether it does depends on what lies in memory beyond what it reads).
        QTest::newRow("damaged header")
            << ""
            << "BAD.h5 is a damaged HDF5 file: the HDF5 library fails while reading it"
               " | BAD.h5 is an HDF5 file but not a VazoRez recording";
        QTest::newRow("foreign") << "f = h5py.File(BAD, 'w'); f['x'] = [1, 2]"
                                 << "BAD.h5 is an HDF5 file but not a VazoRez recording";
        QTest::newRow("newer version")
            << "f = h5py.File(BAD, 'w'); f.attrs['format'] = np.bytes_('vazorez-recording'); "
               "f.attrs['format_version'] = 2"
            << "BAD.h5 is a VazoRez recording of format version 2; this program reads version 1";
        QTest::newRow("dataset missing")
            << "f = h5py.File(SOURCE, 'r+'); del f['q']"
            << "BAD.h5 is an incomplete VazoRez recording: the dataset q is missing";
        QTest::newRow("lengths differ") << "f = h5py.File(SOURCE, 'r+'); f['n'].resize((3,))"
                                        << "BAD.h5 is a damaged VazoRez recording: time_s holds";
        QTest::newRow("misshapen")
            << "f = h5py.File(SOURCE, 'r+'); del f['i']; f['i'] = np.zeros((2, 3))"
            << "BAD.h5 is not a readable VazoRez recording: the dataset i is not frames x 255";
    }

    void badRecordingsAreRefused()
    {
        // decode and plot refuse it with what is wrong (exit 1), and write nothing.
        QFETCH(QString, python);
        QFETCH(QString, message);
        const QString h5 = captureIn("h5");
        QVERIFY(!h5.isEmpty());
        const QString bad = dir.filePath("bad.h5");
        QFile::remove(bad);
        if (QTest::currentDataTag() == QLatin1String("not HDF5")) {
            QFile file(bad);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("frame,time_s\n") > 0);
        } else if (QTest::currentDataTag() == QLatin1String("truncated")) {
            QFile file(bad);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(readAll(h5).left(3000)) == 3000);
        } else if (QTest::currentDataTag() == QLatin1String("damaged header")) {
            QVERIFY(QFile::copy(kDamagedHeader, bad));
        } else {
            QVERIFY(!python.contains("SOURCE") || QFile::copy(h5, bad));
            QProcess maker;
            maker.start("/usr/bin/python3",
                {"-c",
                    "import h5py, numpy as np, sys; BAD = SOURCE = sys.argv[1]; " + python
                        + "; f.close()",
                    bad});
            QVERIFY(maker.waitForFinished(kPatienceMs));
            QVERIFY2(maker.exitCode() == 0, maker.readAllStandardError().constData());
        }
        for (const QString program : {"vazorez-decode", "vazorez-plot"}) {
            const QString output
                = dir.filePath(program == QLatin1String("vazorez-plot") ? "bad.png" : "bad.csv");
            QProcess tool;
            tool.start(siblingProgram(program), {bad, "-o", output});
            QVERIFY(tool.waitForFinished(kPatienceMs));
            const QString said = QString::fromLocal8Bit(tool.readAllStandardError());
            QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
            QCOMPARE(tool.exitCode(), 1);
            const QStringList accepted = QString(message).replace("BAD.h5", bad).split(" | ");
            QVERIFY2(std::any_of(accepted.begin(), accepted.end(),
                         [&said](const QString &text) { return said.contains(text); }),
                qPrintable(said));
            QVERIFY(!QFile::exists(output));
        }
    }

    void damagedRecordingsNeverCrashTheReader()
    {
        // A small corpus: a capture and a damaged file, their bytes overwritten at random (seeded),
        // some cut short. Every run ends by itself with 0 or 1; none dies by a signal.
        const QList<QByteArray> seeds{readAll(captureIn("h5")), readAll(kDamagedHeader)};
        QVERIFY(!seeds[0].isEmpty() && !seeds[1].isEmpty());
        std::mt19937 random(11);
        const QString mutant = dir.filePath("mutant.h5");
        for (int run = 0; run < 100; ++run) {
            QByteArray bytes = seeds[run % 2];
            const int changes = 1 << (run % 5);
            for (int k = 0; k < changes; ++k)
                bytes[int(random() % uint32_t(bytes.size()))] = char(random());
            if (run % 7 == 0)
                bytes.truncate(int(random() % uint32_t(bytes.size())));
            QFile file(mutant);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
            file.close();
            QProcess decode;
            decode.start(
                siblingProgram("vazorez-decode"), {mutant, "-o", dir.filePath("mutant.csv")});
            QVERIFY(decode.waitForFinished(kPatienceMs));
            QVERIFY2(decode.exitStatus() == QProcess::NormalExit && decode.exitCode() <= 1,
                qPrintable(QStringLiteral("run %1: %2")
                               .arg(run)
                               .arg(QString::fromLocal8Bit(decode.readAllStandardError()))));
        }
    }

    void decodingALineDumpFindsTheSameFrames()
    {
        // The simulator's whole byte stream, junk and broken frames included, as a dump of the line.
        BoardModel board(SimMode::Alternate, 128, kSeed);
        FaultInjector faults(kFaults, kSeed);
        QByteArray dump;
        QStringList expectedTimes;
        for (int index = 0; index < kFrames; ++index) {
            if (!faults.append(dump, encodeFrame(board.frame(index))))
                expectedTimes << QString::number(LineSettings::secondsFor(dump.size()), 'f', 6);
        }
        QFile file(dir.filePath("line.dump"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(dump);
        file.close();
        int exitCode = -1;
        QStringList times;
        const QList<Row> rows = parseCsv(runDecode({file.fileName()}, &exitCode), &times);
        QCOMPARE(exitCode, 0);
        QList<Row> expected;
        for (const FrameValues &v : goodFrames())
            expected.append(rowOf(v));
        QVERIFY(rows == expected);
        // Each frame's own last byte at the line's rate, not the end of the read it came in.
        QCOMPARE(times, expectedTimes);
    }

    void replayCapturedAgainGivesTheSameBytes()
    {
        const QString raw = captureIn("raw");
        QVERIFY(!raw.isEmpty());
        const QString again = dir.filePath("again.raw");
        Session replay(raw);
        QVERIFY(replay.start({"-o", again}, int(goodFrames().size())));
        QVERIFY(replay.finish());
        QCOMPARE(replay.capture.exitCode(), 0);
        QCOMPARE(readAll(again), readAll(raw));
    }

    void capturesThroughSer2net_data()
    {
        QTest::addColumn<Ser2NetServer::Kind>("kind");
        QTest::addColumn<QString>("scheme");
        QTest::newRow("socket://") << Ser2NetServer::Kind::Raw << "socket://";
        QTest::newRow("rfc2217://") << Ser2NetServer::Kind::Rfc2217 << "rfc2217://";
    }

    void capturesThroughSer2net()
    {
        // Every frame the simulator reports sent is in the file, byte for byte (its values hold
        // 0xFF often, which telnet doubles on the way); the board's end closes the connection.
        QFETCH(Ser2NetServer::Kind, kind);
        QFETCH(QString, scheme);
        const QString path
            = dir.filePath(QStringLiteral("ser2net-%1.raw")
                               .arg(kind == Ser2NetServer::Kind::Raw ? "socket" : "rfc2217"));
        Session session;
        session.options.faults = {};
        session.options.samples = 24;
        session.options.count = 150;
        session.options.rate = SimulatorOptions::Rate::Line;
        session.bridge = std::make_unique<Ser2NetServer>();
        session.bridgeKind = kind;
        QVERIFY2(session.start({"-o", path, "--format", "raw"}, 0), qPrintable(session.stderrText));
        QVERIFY(session.stderrText.contains("recording " + scheme + "127.0.0.1:"));
        // The stream ends, then the line goes and ser2net closes the connection.
        session.board.join();
        const int64_t sent = session.simulator->stats().frames;
        QCOMPARE(sent, int64_t(150));
        session.simulator.reset();
        QVERIFY(session.finish());
        QCOMPARE(session.capture.exitCode(), 3);
        QByteArray expected;
        BoardModel board(SimMode::Alternate, 24, kSeed);
        for (int index = 0; index < 150; ++index)
            appendFrame(expected, board.frame(index));
        QCOMPARE(expected.count(char(0xFF)) > 10, true);
        QCOMPARE(readAll(path).size(), expected.size());
        QVERIFY(readAll(path) == expected);
        QVERIFY2(
            session.stderrText.contains(
                QStringLiteral("the line hung up after 150 frames (%1").arg(session.bridge->url())),
            qPrintable(session.stderrText));
        qInfo("%s", qPrintable(session.stderrText.trimmed()));
    }

    void captureEndsOnAWholeFrame_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<int>("exitCode"); // as a shell shows it: above 128, killed by signal N - 128
        QTest::addColumn<QString>("remark"); // on standard error, %1 the frames written
        const QString secondStops
            = "vazorez-capture: stopping after the current frame; Ctrl-C again to stop at once\n";
        QTest::newRow("SIGINT") << "SIGINT" << 0 << secondStops + "vazorez-capture: %1 frames in";
        const QString termination = "vazorez-capture: stopping after the current frame; a second termination "
                                    "request stops it at once\nvazorez-capture: %1 frames in";
        QTest::newRow("SIGTERM") << "SIGTERM" << 0 << termination;
        // The terminal closing: it used to end the capture at once, the file under its temporary name.
        QTest::newRow("SIGHUP") << "SIGHUP" << 0 << termination;
        // It used to fail with "Interrupted system call" and a file cut inside a line.
        QTest::newRow("SIGINT during a blocked write")
            << "blocked" << 0 << secondStops + "vazorez-capture: %1 frames in";
        // The write stays blocked while nobody reads: a second signal must not wait for it. What
        // a stop at once leaves is said.
        const QString atOnce = secondStops
            + "vazorez-capture: stopped at once; a file being written keeps its temporary name "
              "(.part-XXXXXX)\n";
        QTest::newRow("second SIGINT during a blocked write")
            << "blocked twice" << 128 + SIGINT << atOnce;
        // Both come before the event loop can end the capture: the file is never named half-written.
        QTest::newRow("SIGINT then SIGTERM at once") << "twice" << 128 + SIGTERM << atOnce;
        // The board's stream ends and its line goes away: a clean end, told apart from a failure.
        QTest::newRow("hang-up") << "hang-up" << 3 << "the line hung up after %1 frames";
        // A coarse timer stopped 3.5 s at 3.3 s.
        QTest::newRow("--seconds 3.5") << "seconds" << 0 << "%1 frames in";
    }

    void captureEndsOnAWholeFrame()
    {
        QFETCH(QString, ending);
        QFETCH(int, exitCode);
        QFETCH(QString, remark);
        const QString path = dir.filePath(QStringLiteral("ending-%1.csv").arg(QTest::currentDataTag()).replace(' ', '-'));
        Session session;
        session.options.count = ending == "hang-up" ? kFrames : -1;
        session.options.rate = SimulatorOptions::Rate::Fixed;
        const bool blocked = ending.startsWith("blocked");
        session.options.framesPerSecond = blocked ? 400 : 100;
        QStringList arguments;
        int pipeReader = -1;
        if (blocked) {
            // Standard output is a FIFO that nobody reads until the signal has come.
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
            pipeReader = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            QVERIFY(pipeReader >= 0);
        } else {
            arguments << "-o" << path;
        }
        if (ending == "seconds")
            arguments << "--seconds" << "3.5";
        QVERIFY(session.start(arguments, 0, false, blocked ? path : QString()));
        const pid_t pid = pid_t(session.capture.processId());
        QByteArray text;
        if (blocked) {
            // A full pipe (tens of kilobytes that stop growing while frames keep coming): the
            // capture is blocked inside a write.
            int lastQueued = -1;
            QTRY_VERIFY_WITH_TIMEOUT(([&] {
                int queued = 0;
                ::ioctl(pipeReader, FIONREAD, &queued);
                const bool full = queued >= 32768 && queued == lastQueued;
                lastQueued = queued;
                return full;
            }()), 10000);
            ::kill(pid, SIGINT);
            QVERIFY(!session.capture.waitForFinished(300)); // still blocked
            if (ending == "blocked twice")
                ::kill(pid, SIGINT); // the pipe stays full: it used to stay blocked until its reader went
        }
        if (ending == "blocked") {
            ::fcntl(pipeReader, F_SETFL, 0);
            char buffer[65536];
            for (ssize_t got; (got = ::read(pipeReader, buffer, sizeof buffer)) != 0;) {
                if (got > 0)
                    text.append(buffer, int(got));
                else if (errno != EINTR)
                    break;
            }
            ::close(pipeReader);
        } else if (ending == "hang-up") {
            session.hangUp();
        } else if (ending != "seconds" && !blocked) {
            const QString writing = session.writingPath();
            QVERIFY2(writing.startsWith(path + ".part-"), qPrintable(session.stderrText));
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(writing).size() > 1000, 5000);
            if (ending == "twice") {
                // Stopped, it holds both until it goes on, and then takes them one after the other.
                ::kill(pid, SIGSTOP);
                ::kill(pid, SIGINT);
                ::kill(pid, SIGTERM);
                ::kill(pid, SIGCONT);
            } else {
                ::kill(pid, ending == "SIGINT" ? SIGINT : ending == "SIGHUP" ? SIGHUP : SIGTERM);
            }
        }
        QVERIFY(session.finish());
        if (ending == "blocked twice")
            ::close(pipeReader);
        if (exitCode > 128) {
            QCOMPARE(session.capture.exitStatus(), QProcess::CrashExit);
            QCOMPARE(session.capture.exitCode(), exitCode - 128);
            QVERIFY2(session.stderrText.endsWith(remark), qPrintable(session.stderrText));
            // Never a half file under the final name; at most the temporary.
            if (!blocked) {
                QVERIFY2(!QFileInfo::exists(path), "a file cut short under its final name");
                QVERIFY(QFile::remove(session.writingPath())); // the temporary stays, as the help says
            }
            return;
        }
        QCOMPARE(session.capture.exitStatus(), QProcess::NormalExit);
        QCOMPARE(session.capture.exitCode(), exitCode);
        if (!blocked) {
            text = readAll(path);
            QVERIFY2(!QFileInfo::exists(session.writingPath()), "the temporary file is left behind");
        }
        QStringList times;
        const QList<Row> rows = parseCsv(text, &times);
        QVERIFY2(!rows.isEmpty(), "the file is empty or ends inside a line");
        for (const Row &row : rows)
            QCOMPARE(int(row.i.size()), 128);
        QVERIFY2(session.stderrText.contains(remark.arg(rows.size())), qPrintable(session.stderrText));
        if (ending == "hang-up") {
            QCOMPARE(rows.size(), goodFrames().size()); // every frame the board sent
        } else if (ending == "seconds") {
            // Recorded for the whole 3.5 s from the first byte, and no frame after them.
            const auto match = QRegularExpression(" frames in (\\d+\\.\\d+) s").match(session.stderrText);
            QVERIFY2(match.hasMatch(), qPrintable(session.stderrText));
            QVERIFY2(match.captured(1).toDouble() >= 3.5, qPrintable(session.stderrText));
            QVERIFY(times.last().toDouble() <= 3.5);
        }
    }

    // Small frames sit below the decode gate until the line ends: when the last of the frames
    // wanted comes with the hang-up, the capture got what it asked for.
    void wantedFramesArriveWithTheHangUp_data()
    {
        QTest::addColumn<int>("samples");
        QTest::newRow("1 sample") << 1;
        QTest::newRow("16 samples") << 16;
        QTest::newRow("128 samples") << 128;
    }

    void wantedFramesArriveWithTheHangUp()
    {
        QFETCH(int, samples);
        constexpr int kWanted = 200;
        const QString path = dir.filePath(QStringLiteral("hang-up-%1.raw").arg(samples));
        Session session;
        session.options.samples = samples;
        session.options.mode = SimMode::Cw;
        session.options.count = kWanted;
        session.options.rate = SimulatorOptions::Rate::Max;
        session.options.faults = {};
        QVERIFY(session.start({"-o", path, "--format", "raw"}, kWanted));
        session.hangUp();
        QVERIFY(session.finish());
        QCOMPARE(session.capture.exitStatus(), QProcess::NormalExit);
        QVERIFY2(session.capture.exitCode() == 0, qPrintable(session.stderrText));
        QVERIFY2(!session.stderrText.contains("hung up"), qPrintable(session.stderrText));
        QCOMPARE(QFileInfo(path).size(), qint64(kWanted) * (8 * samples + 7));
    }

    // A write error in the middle of a capture (a file size limit, a full device): the file keeps
    // the whole frames written before it, the message says how many, and decode reads them.
    void writeErrorKeepsTheFramesWrittenBefore_data()
    {
        QTest::addColumn<QString>("output"); // FILL: a file that may grow to `limitKiB` only
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("samples");
        QTest::addColumn<int>("limitKiB");
        QTest::addColumn<QString>("reason");
        QTest::newRow("csv, 16 samples") << "FILL"
                                         << "csv" << 16 << 100 << "File too large";
        QTest::newRow("jsonl, 255 samples") << "FILL"
                                            << "jsonl" << 255 << 100 << "File too large";
        QTest::newRow("raw, 24 samples") << "FILL"
                                         << "raw" << 24 << 100 << "File too large";
        // Written in blocks of frames, with room for a block taken from the disk first.
        QTest::newRow("h5, 64 samples") << "FILL"
                                        << "h5" << 64 << 1000 << "File too large";
        QTest::newRow("h5, 255 samples") << "FILL"
                                         << "h5" << 255 << 1000 << "File too large";
        // A device keeps what it took; there is no file to keep frames in.
        QTest::newRow("/dev/full, jsonl, 24 samples")
            << "/dev/full"
            << "jsonl" << 24 << 0 << "No space left on device";
    }

    void writeErrorKeepsTheFramesWrittenBefore()
    {
        QFETCH(QString, output);
        QFETCH(QString, format);
        QFETCH(int, samples);
        QFETCH(int, limitKiB);
        QFETCH(QString, reason);
        const bool filling = output == "FILL";
        const QString path = filling
            ? dir.filePath(QStringLiteral("filled-%1.%2").arg(samples).arg(format))
            : output;
        Session session;
        session.options.samples = samples;
        session.options.mode = SimMode::Cw;
        session.options.count = -1;
        session.options.rate = SimulatorOptions::Rate::Max;
        session.options.faults = {};
        session.fileLimitKiB = limitKiB;
        QVERIFY2(
            session.start({"-o", path, "--format", format}, 0), qPrintable(session.stderrText));
        QVERIFY(session.finish());
        QCOMPARE(session.capture.exitStatus(), QProcess::NormalExit);
        QCOMPARE(session.capture.exitCode(), 1);
        const auto said = QRegularExpression("cannot write to (\\S+): ([^;\\n]+)(; the file keeps "
                                             "the (\\d+) frames written before)?\n")
                              .match(session.stderrText);
        QVERIFY2(said.hasMatch(), qPrintable(session.stderrText));
        QCOMPARE(said.captured(1), path);
        QVERIFY2(said.captured(2).endsWith(reason), qPrintable(said.captured(2)));
        if (!filling) {
            QVERIFY2(said.captured(3).isEmpty(), qPrintable(session.stderrText));
            QVERIFY2(session.stderrText.contains("vazorez-capture: 0 frames in"),
                qPrintable(session.stderrText));
            return;
        }
        const int kept = said.captured(4).toInt();
        QVERIFY2(kept > 0, qPrintable(session.stderrText));
        QVERIFY2(
            session.stderrText.contains(QStringLiteral("vazorez-capture: %1 frames in").arg(kept)),
            qPrintable(session.stderrText));
        QVERIFY2(!QFileInfo::exists(session.writingPath()), "the temporary file is left behind");
        // Exactly the frames said, each as the board sent it.
        BoardModel board(SimMode::Cw, samples, kSeed);
        QList<Row> sent;
        for (int k = 0; k < kept; ++k)
            sent.append(rowOf(board.frame(k)));
        int exitCode = -1;
        const QList<Row> decoded = parseCsv(runDecode({path, "--format", "csv"}, &exitCode));
        QCOMPARE(exitCode, 0);
        QCOMPARE(decoded.size(), sent.size());
        QVERIFY(decoded == sent);
    }

    // Every kind of output gets the whole recording, for every tool alike. A symbolic link stays
    // one: the file it points at is replaced. A path to a descriptor (/dev/stdout into a pipe) and
    // a FIFO are written directly and opened once: they used to get a hidden .part-XXXXXX in the
    // working folder and a failure at the end, and a FIFO's reader the header alone.
    void everyKindOfOutputGetsTheRecording_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("kind");
        for (const QString program : {"vazorez-capture", "vazorez-decode"})
            for (const QString kind : {"link", "/dev/stdout", "FIFO"})
                QTest::newRow(qPrintable(program + ", " + kind)) << program << kind;
    }

    void everyKindOfOutputGetsTheRecording()
    {
        QFETCH(QString, program);
        QFETCH(QString, kind);
        QTemporaryDir work; // also the tool's working folder, where nothing may be left
        const QString target = work.filePath("target.csv");
        QString output = kind;
        if (kind == "link") {
            QFile older(target);
            QVERIFY(older.open(QIODevice::WriteOnly) && older.write("an older recording\n") > 0);
            older.close();
            output = work.filePath("link.csv");
            QVERIFY(::symlink("target.csv", QFile::encodeName(output).constData()) == 0);
        }
        // A FIFO's reader is there before the tool opens it, and reads until the tool closes it.
        QByteArray fromFifo;
        std::atomic<bool> toolEnded{false};
        std::thread fifoReader;
        if (kind == "FIFO") {
            output = work.filePath("fifo");
            QVERIFY(::mkfifo(QFile::encodeName(output).constData(), 0600) == 0);
            const int end = ::open(QFile::encodeName(output).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            QVERIFY(end >= 0);
            fifoReader = std::thread([end, &fromFifo, &toolEnded] {
                char buffer[65536];
                for (;;) {
                    const bool last = toolEnded.load();
                    const ssize_t got = ::read(end, buffer, sizeof buffer);
                    if (got > 0)
                        fromFifo.append(buffer, int(got));
                    else if (last)
                        break;
                    else
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                ::close(end);
            });
        }
        QByteArray standardOutput;
        int exitCode = -1;
        QString errors;
        bool ended = true;
        if (program == "vazorez-capture") {
            Session session;
            session.capture.setWorkingDirectory(work.path());
            const bool started = session.start({"-o", output}, int(goodFrames().size()));
            ended = session.finish();
            exitCode = session.capture.exitCode();
            errors = session.stderrText;
            standardOutput = session.capture.readAllStandardOutput();
            QVERIFY2(started, qPrintable(errors));
        } else {
            const QString raw = captureIn("raw");
            QVERIFY(!raw.isEmpty());
            QProcess decode;
            decode.setWorkingDirectory(work.path());
            decode.start(siblingProgram("vazorez-decode"), {raw, "-o", output});
            QVERIFY(decode.waitForFinished(kPatienceMs));
            exitCode = decode.exitCode();
            errors = QString::fromLocal8Bit(decode.readAllStandardError());
            standardOutput = decode.readAllStandardOutput();
        }
        toolEnded = true;
        if (fifoReader.joinable())
            fifoReader.join();
        QVERIFY2(ended, qPrintable(program + " did not end with its line: " + errors));
        QVERIFY2(exitCode == 0, qPrintable(errors));
        const QByteArray text = kind == "link" ? readAll(target)
            : kind == "FIFO"                   ? fromFifo
                                               : standardOutput;
        QList<Row> expected;
        for (const FrameValues &values : goodFrames())
            expected.append(rowOf(values));
        QCOMPARE(parseCsv(text), expected);
        if (kind == "link") {
            QVERIFY(QFileInfo(output).isSymLink());
            QCOMPARE(QFileInfo(output).symLinkTarget(), target);
        }
        QCOMPARE(QDir(work.path()).entryList({"*.part-*", ".*.part-*"}, QDir::AllEntries | QDir::Hidden),
            QStringList());
    }

    void decodeWritesEachFramesTargets_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("window");
        QTest::newRow("csv") << "csv" << "hann";
        QTest::newRow("jsonl") << "jsonl" << "hann";
        QTest::newRow("csv, Blackman-Harris") << "csv" << "blackman-harris";
    }

    // A board that alternates modes and sizes, one approaching target: every CW frame reads its
    // speed, every FMCW frame its range (with the Doppler shift the beat tone carries), at the
    // times the frame rows give; frames too short for a spectrum have no target.
    void decodeWritesEachFramesTargets()
    {
        QFETCH(QString, format);
        QFETCH(QString, window);
        const QString profilePath = QStringLiteral(VAZOREZ_SOURCE_DIR "/profiles/example-k-band.json");
        RadarProfile profile;
        QString error;
        QVERIFY2(RadarProfile::load(profilePath, &profile, &error), qPrintable(error));
        const SimTarget target {15.0, -20.0, 55.0}; // 2.6 bins from zero speed at n = 16
        const int sizes[] = {16, 24, 64, 255, 1};
        QByteArray raw;
        QMap<int, BoardModel *> models;
        std::vector<std::unique_ptr<BoardModel>> owned;
        for (int index = 0; index < 30; ++index) {
            const int n = sizes[index % 5];
            if (!models.contains(n)) {
                owned.push_back(std::make_unique<BoardModel>(SimMode::Alternate, n, 3));
                owned.back()->setRadarScene(profile, {target});
                models[n] = owned.back().get();
            }
            raw += QByteArray(index % 3, '\x16') + encodeFrame(models[n]->frame(index));
        }
        const QString rawPath = dir.filePath("scene.raw");
        QFile file(rawPath);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(raw) == raw.size());
        file.close();

        int exitCode = -1;
        QMap<int, QString> frameTimes; // from the frame rows
        for (const QByteArray &line : runDecode({rawPath}, &exitCode).split('\n').mid(1)) {
            const QList<QByteArray> fields = line.split(',');
            if (fields.size() == 7)
                frameTimes[fields[0].toInt()] = QString::fromLatin1(fields[1]);
        }
        QCOMPARE(exitCode, 0);
        QCOMPARE(frameTimes.size(), 30);

        const QByteArray text = runDecode({rawPath, "--radar", profilePath, "--targets", "--format", format, "--window", window}, &exitCode);
        QCOMPARE(exitCode, 0);
        const double range = profile.rangeForBeat(
            profile.beatSign * profile.beatForRange(target.rangeM) + profile.frequencyForSpeed(target.speedMps));
        QSet<int> framesWithTargets;
        auto check = [&](int frame, const QString &time, const QString &mode, int rank, const QString &rangeM,
                         const QString &speedMps) {
            QCOMPARE(time, frameTimes.value(frame));
            const int n = sizes[frame % 5];
            const double bin = profile.sampleRateHz / n;
            QCOMPARE(mode, QString(frame % 2 ? "FMCW" : "CW"));
            if (rank != 1)
                return; // a weaker one: noise at 20 dB below the target may show in a short frame
            framesWithTargets.insert(frame);
            if (frame % 2) {
                QVERIFY(speedMps.isEmpty());
                QVERIFY2(std::abs(rangeM.toDouble() - range) < 0.25 * (profile.rangeForBeat(bin) - profile.rangeForBeat(0)),
                         qPrintable(rangeM));
            } else {
                QVERIFY(rangeM.isEmpty());
                QVERIFY2(std::abs(speedMps.toDouble() - target.speedMps) < 0.25 * profile.speedForFrequency(bin),
                         qPrintable(speedMps));
            }
        };
        const QList<QByteArray> lines = text.split('\n');
        if (format == "csv") {
            QCOMPARE(lines.first(), QByteArray("frame,time_s,mode,rank,range_m,speed_mps,level_db,snr_db"));
            for (const QByteArray &line : lines.mid(1)) {
                if (line.isEmpty())
                    continue;
                const QStringList f = QString::fromLatin1(line).split(',');
                QCOMPARE(f.size(), 8);
                check(f[0].toInt(), f[1], f[2], f[3].toInt(), f[4], f[5]);
                if (f[3] == "1")
                    QVERIFY2(f[7].toDouble() > 20.0, qPrintable(line));
            }
        } else {
            int objects = 0;
            for (const QByteArray &line : lines) {
                if (line.isEmpty())
                    continue;
                const QJsonObject o = QJsonDocument::fromJson(line).object();
                QCOMPARE(o.value("frame").toInt(-1), objects++);
                for (const QJsonValue value : o.value("targets").toArray()) {
                    const QJsonObject t = value.toObject();
                    const QString rangeM = t.contains("range_m") ? QString::number(t.value("range_m").toDouble()) : QString();
                    const QString speedMps = t.contains("speed_mps") ? QString::number(t.value("speed_mps").toDouble()) : QString();
                    check(o.value("frame").toInt(), QString::number(o.value("time_s").toDouble(), 'f', 6),
                          o.value("mode").toString(), t.value("rank").toInt(), rangeM, speedMps);
                    if (!speedMps.isEmpty())
                        QCOMPARE(t.value("direction").toString(), QString("approaching"));
                }
            }
            QCOMPARE(objects, 30); // one per frame, those without a target too
        }
        for (int frame = 0; frame < 30; ++frame)
            QCOMPARE(framesWithTargets.contains(frame), sizes[frame % 5] > 1);
    }

    void decodeFollowsTracks_data()
    {
        QTest::addColumn<QString>("kind"); // --tracks, --passes or --presence
        QTest::addColumn<QString>("format");
        for (const char *kind : {"tracks", "passes", "presence"})
            for (const char *format : {"csv", "jsonl"})
                QTest::addRow("%s, %s", kind, format) << kind << format;
    }

    // An alternating board at n = 100, one car approaching at 20 m/s and one receding at 8 m/s
    // for 10 s: each is one track in each mode, each gives a pass at the end of the file with
    // its speed and direction, and presence comes once they are confirmed and stays.
    void decodeFollowsTracks()
    {
        QFETCH(QString, kind);
        QFETCH(QString, format);
        const QString profilePath = QStringLiteral(VAZOREZ_SOURCE_DIR "/profiles/example-k-band.json");
        RadarProfile profile;
        QString error;
        QVERIFY2(RadarProfile::load(profilePath, &profile, &error), qPrintable(error));
        const int n = 100;
        BoardModel model(SimMode::Alternate, n, 9);
        model.setRadarScene(profile, {{15.0, -20.0, 50.0}, {30.0, 8.0, 45.0}});
        QByteArray raw;
        const int frames = 112;
        for (int index = 0; index < frames; ++index)
            raw += encodeFrame(model.frame(index));
        const QString rawPath = dir.filePath("two-cars.raw");
        QFile file(rawPath);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(raw) == raw.size());
        file.close();
        const double lastTime = raw.size() / LineSettings::kBytesPerSecond;
        const double speedBin = std::abs(profile.speedForFrequency(profile.sampleRateHz / n));

        int exitCode = -1;
        const QByteArray text = runDecode({rawPath, "--radar", profilePath, "--" + kind, "--format", format}, &exitCode);
        QCOMPARE(exitCode, 0);
        // Every row or object as field names and values.
        QList<QVariantMap> rows;
        QList<QByteArray> lines = text.split('\n');
        QCOMPARE(lines.takeLast(), QByteArray());
        if (format == "csv") {
            const QList<QByteArray> names = lines.takeFirst().split(',');
            QCOMPARE(names, kind == "tracks" ? QByteArray("frame,time_s,mode,track,range_m,speed_mps,level_db").split(',')
                     : kind == "passes" ? QByteArray("track,mode,start_s,end_s,frames,max_speed_mps,min_range_m,direction").split(',')
                                        : QByteArray("time_s,present").split(','));
            for (const QByteArray &line : lines) {
                const QList<QByteArray> fields = line.split(',');
                QCOMPARE(fields.size(), names.size());
                QVariantMap row;
                for (int k = 0; k < names.size(); ++k)
                    if (!fields[k].isEmpty())
                        row[names[k]] = QString::fromLatin1(fields[k]);
                rows << row;
            }
        } else {
            for (const QByteArray &line : lines) {
                const QJsonObject object = QJsonDocument::fromJson(line).object();
                QVERIFY2(!object.isEmpty(), line.constData());
                if (kind != "tracks") {
                    rows << object.toVariantMap();
                    continue;
                }
                for (const QJsonValue track : object.value("tracks").toArray()) {
                    QVariantMap row = track.toObject().toVariantMap();
                    row["frame"] = object.value("frame").toInt();
                    row["mode"] = object.value("mode").toString();
                    rows << row;
                }
            }
        }
        if (kind == "presence") {
            QCOMPARE(rows.size(), 2);
            QVERIFY(std::abs(rows[0].value("time_s").toDouble() - (8 * n + 7) / LineSettings::kBytesPerSecond) < 1e-5);
            QCOMPARE(rows[0].value("present").toString(), format == "csv" ? "0" : "false");
            QCOMPARE(rows[1].value("present").toString(), format == "csv" ? "1" : "true");
            QVERIFY(rows[1].value("time_s").toDouble() < 1.0);
            return;
        }
        QSet<QString> tracks[2];
        for (const QVariantMap &row : rows) {
            const int mode = row.value("mode").toString() == "FMCW" ? 1 : 0;
            tracks[mode].insert(row.value("track").toString());
            if (kind == "passes") {
                QVERIFY(row.value("start_s").toDouble() < 1.0);
                QVERIFY(std::abs(row.value("end_s").toDouble() - lastTime) < 0.2);
                QVERIFY(row.value("frames").toInt() > frames / 2 - 5);
                if (mode == 1)
                    continue;
                const bool approaching = row.value("direction").toString() == "approaching";
                QVERIFY2(std::abs(row.value("max_speed_mps").toDouble() - (approaching ? 20.0 : 8.0)) < 0.25 * speedBin,
                         qPrintable(row.value("max_speed_mps").toString()));
            } else if (mode == 0) {
                const double speed = row.value("speed_mps").toDouble();
                QVERIFY2(std::abs(speed + 20.0) < 0.25 * speedBin || std::abs(speed - 8.0) < 0.25 * speedBin,
                         qPrintable(QString::number(speed)));
            } else {
                QVERIFY(row.value("range_m").toDouble() > 10.0);
            }
        }
        QCOMPARE(tracks[0].size(), 2);
        QCOMPARE(tracks[1].size(), 2);
        if (kind == "tracks")
            QVERIFY(rows.size() > 2 * (frames - 10));
        else
            QCOMPARE(rows.size(), 4);
    }

    void decodeCalibratesTheFrontEnd_data()
    {
        QTest::addColumn<QString>("kind"); // of the recording: raw or h5 (made by decode)
        QTest::addColumn<int>("samples");
        QTest::addColumn<bool>("moving"); // a walker in front of the sensor, or only fixed echoes
        QTest::addColumn<bool>("beside"); // the profile beside the recording rather than --radar
        QTest::addColumn<QString>("output"); // a file name, or - for standard output
        QTest::newRow("raw, n 128, --radar, to a file") << "raw" << 128 << true << false << "cal.json";
        QTest::newRow("raw, n 24, the profile beside it, to standard output")
            << "raw" << 24 << true << true << "-";
        QTest::newRow("h5 keeping its profile, n 255") << "h5" << 255 << true << true << "cal.json";
        QTest::newRow("nothing moves: refused, no file") << "raw" << 128 << false << false << "cal.json";
        QTest::newRow("nothing moves, to standard output: refused, nothing written")
            << "raw" << 100 << false << true << "-";
    }

    // 330 frames of a front end 1 dB and 6 degrees off, with an offset and fixed echoes: the
    // profile written is the one given with the estimate in it, and parses; a scene in which
    // nothing moves is refused with the reason, exit status 1 and no output.
    void decodeCalibratesTheFrontEnd()
    {
        QFETCH(QString, kind);
        QFETCH(int, samples);
        QFETCH(bool, moving);
        QFETCH(bool, beside);
        QFETCH(QString, output);
        QTemporaryDir work;
        const QString profilePath = QStringLiteral(VAZOREZ_SOURCE_DIR "/profiles/example-k-band.json");
        RadarProfile profile;
        QString error;
        QVERIFY2(RadarProfile::load(profilePath, &profile, &error), qPrintable(error));
        BoardModel board(SimMode::Alternate, samples, 5);
        SimFrontEnd front;
        front.iqGainDb = 1.0;
        front.iqPhaseDeg = 6.0;
        front.dcI = -41.0;
        front.dcQ = 23.0;
        front.clutter = {{7.0, 0.0, 55.0}};
        board.setFrontEnd(front);
        board.setRadarScene(profile, moving ? std::vector<SimTarget>{{13.0, -9.0, 50.0}} : std::vector<SimTarget>{});
        QByteArray raw;
        for (int index = 0; index < 330; ++index)
            raw += encodeFrame(board.frame(index));
        QString recording = work.filePath("walker.raw");
        QFile file(recording);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(raw) == raw.size());
        file.close();
        if (beside || kind == "h5")
            QVERIFY(QFile::copy(profilePath, recording + ".radar.json"));
        int exitCode = -1;
        if (kind == "h5") {
            // The conversion keeps the profile beside the raw recording in the h5 file.
            runDecode({recording, "-o", work.filePath("walker.h5")}, &exitCode);
            QCOMPARE(exitCode, 0);
            recording = work.filePath("walker.h5");
        }
        QStringList arguments{recording, "--calibrate", "-o", output == "-" ? output : work.filePath(output)};
        if (!beside)
            arguments << "--radar" << profilePath;
        QProcess decode;
        decode.start(siblingProgram("vazorez-decode"), arguments);
        QVERIFY(decode.waitForFinished(60000));
        const QByteArray written = decode.readAllStandardOutput();
        const QString said = QString::fromLocal8Bit(decode.readAllStandardError());
        QCOMPARE(decode.exitStatus(), QProcess::NormalExit);
        const QString outputPath = work.filePath(output);
        if (!moving) {
            QCOMPARE(decode.exitCode(), 1);
            QVERIFY2(said.contains("cannot calibrate from " + recording + ": nothing moves"), qPrintable(said));
            QVERIFY(!QFileInfo::exists(outputPath));
            QVERIFY(written.isEmpty());
            QCOMPARE(QDir(work.path()).entryList({"*.part-*", ".*.part-*", "cal*"}, QDir::AllEntries | QDir::Hidden), QStringList());
            return;
        }
        QVERIFY2(decode.exitCode() == 0, qPrintable(said));
        QByteArray json = written;
        if (output != "-") {
            QVERIFY(written.isEmpty());
            QFile result(outputPath);
            QVERIFY(result.open(QIODevice::ReadOnly));
            json = result.readAll();
        }
        RadarProfile calibrated;
        QVERIFY2(RadarProfile::parse(json, "written", &calibrated, &error), qPrintable(error));
        QVERIFY2(std::abs(calibrated.iqGainDb - 1.0) <= 0.1, json.constData());
        QVERIFY2(std::abs(calibrated.iqPhaseDeg - 6.0) <= 1.0, json.constData());
        // Only the imbalance is new.
        QCOMPARE(calibrated.carrierHz, profile.carrierHz);
        QCOMPARE(calibrated.sweepSeconds, profile.sweepSeconds);
        QCOMPARE(calibrated.beatSign, profile.beatSign);
        QCOMPARE(calibrated.name, profile.name);
        // The line on standard error says what was written: the same figures.
        const QRegularExpression summary(QStringLiteral(
            "iq_gain_db (-?[0-9.]+), iq_phase_deg (-?[0-9.]+) from ([0-9]+) frames \\(image rejection ([0-9]+) dB before, about ([0-9]+) dB after\\)"));
        const QRegularExpressionMatch match = summary.match(said);
        QVERIFY2(match.hasMatch(), qPrintable(said));
        QVERIFY(std::abs(match.captured(1).toDouble() - calibrated.iqGainDb) < 0.006);
        QVERIFY(std::abs(match.captured(2).toDouble() - calibrated.iqPhaseDeg) < 0.006);
        QCOMPARE(match.captured(3).toInt(), 328); // the first frame of each modulation is learnt
        QVERIFY(std::abs(match.captured(4).toInt() - 22) <= 1);
        QVERIFY(match.captured(5).toInt() > 35);
        if (output == "-")
            return;
        // The targets the two profiles give: uncorrected, the walker's image is counted in its
        // CW frames and never reported; corrected, there is none to count.
        for (const QString &with : {profilePath, outputPath}) {
            const QByteArray lines = runDecode({recording, "--radar", with, "--targets", "--format", "jsonl"}, &exitCode);
            QCOMPARE(exitCode, 0);
            const int images = int(lines.count("\"images\":"));
            QVERIFY2(!lines.contains("\"speed_mps\":9."), "the image was reported as a receding target");
            QVERIFY2(with == profilePath ? images >= 100 : images == 0, qPrintable(QString::number(images)));
        }
    }

    void failuresAreClear_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        const QString capture = "vazorez-capture", decode = "vazorez-decode";
        // KEEP is a file of the user's that must come out as it went in; PTY a live line.
        QTest::newRow("a recording given as the port")
            << capture << QStringList{"KEEP", "-o", "KEEP"} << 1
            << "KEEP is a file, not a serial port; vazorez-decode reads recordings";
        QTest::newRow("malformed network port")
            << capture << QStringList{"socket://127.0.0.1:99999", "-o", "KEEP"} << 2
            << "socket://127.0.0.1:99999: not a network port: 99999 is not a TCP port number (1 to 65535)";
        QTest::newRow("missing port") << capture << QStringList{"/dev/vazorez-none", "-o", "KEEP"} << 1 << "cannot open /dev/vazorez-none";
        QTest::newRow("no port") << capture << QStringList{} << 2 << "give exactly one PORT";
        QTest::newRow("bad format") << capture << QStringList{"/dev/null", "--format", "xml"} << 2 << "--format wants";
        QTest::newRow("bad frame count") << capture << QStringList{"/dev/null", "--frames", "0"} << 2 << "--frames wants";
        QTest::newRow("unwritable output") << capture << QStringList{"PTY", "-o", "/nonexistent/dir/x.csv"} << 1 << "cannot create /nonexistent/dir/x.csv: ";
        // LIMIT: files may grow to 1 KiB only, too little for an h5 file's structure. A file the
        // HDF5 library could not flush used to crash the program as it ended.
        QTest::newRow("no room for an h5 file") << capture << QStringList{"LIMIT", "PTY", "-o", "KEEP", "--format", "h5"} << 1 << "cannot create KEEP: File too large; KEEP left as it was";
        QTest::newRow("decode: no room for an h5 file") << decode << QStringList{"LIMIT", "KEEP", "-o", "KEEP", "--format", "h5"} << 1 << "cannot write to KEEP: File too large; KEEP left as it was";
        // A FIFO nobody reads yet would block the open until a reader came, deaf to Ctrl-C.
        QTest::newRow("a FIFO nobody reads") << capture << QStringList{"PTY", "-o", "@FIFO"} << 1
            << "cannot create @FIFO: no program reads this FIFO yet; start its reader first";
        // HDF5 seeks: refused at once, before an open that would wait for a reader.
        QTest::newRow("h5 into a FIFO") << capture << QStringList{"PTY", "-o", "@FIFO", "--format", "h5"} << 1
            << "cannot create @FIFO: an h5 file needs a regular file (HDF5 seeks), not a FIFO";
        // It used to wait for ever, without a word, once the FIFO's writer had gone.
        QTest::newRow("decode: an h5 recording that is a FIFO") << decode << QStringList{"@H5FIFO", "-o", "KEEP"} << 1
            << "cannot read @H5FIFO: not a regular file (an h5 recording is read out of order)";
        QTest::newRow("decode: h5 to standard output") << decode << QStringList{"KEEP", "--format", "h5"} << 1
            << "an h5 file needs a regular file (HDF5 seeks), not standard output";
        // ALONE: a copy of the program in a folder of its own, without the h5 file checker beside it
        // (nor installed): it says what is missing, not that the file is damaged.
        QTest::newRow("decode: no h5 checker") << decode << QStringList{"ALONE", "H5FILE", "-o", "KEEP"} << 1 << "cannot check H5FILE: the program vazorez-h5check that reads HDF5 files for us is missing";
        QTest::newRow("decode: missing file") << decode << QStringList{"/nonexistent.raw"} << 1 << "cannot read /nonexistent.raw";
        QTest::newRow("decode: no file") << decode << QStringList{} << 2 << "give exactly one FILE";
        // A file with no frame in it is an error, as it is for a replay, and writes nothing.
        QTest::newRow("decode: a file holds no frame") << decode << QStringList{"/dev/null", "-o", "KEEP"} << 1 << "/dev/null holds no frame";
        QTest::newRow("decode: not a csv row") << decode << QStringList{"BAD", "-o", "KEEP"} << 1 << "BAD, line 3: not a row of frame,time_s,mode,k,i,q,s";
        // A profile that cannot be used is a bad option: nothing is read or written.
        QTest::newRow("decode: radar profile missing") << decode << QStringList{"KEEP", "--radar", "/nonexistent.json", "--targets", "-o", "KEEP"} << 2 << "cannot read radar profile /nonexistent.json";
        QTest::newRow("decode: radar profile not JSON") << decode << QStringList{"KEEP", "--radar", "KEEP", "--targets", "-o", "KEEP"} << 2 << "KEEP: not JSON";
        QTest::newRow("decode: --targets without a profile") << decode << QStringList{"KEEP", "--targets", "-o", "KEEP"} << 2 << "--targets needs --radar";
        QTest::newRow("decode: an unknown window") << decode << QStringList{"KEEP", "--radar", "KEEP", "--targets", "--window", "kaiser"} << 2 << "--window wants";
        QTest::newRow("decode: --calibrate with --targets") << decode << QStringList{"KEEP", "--radar", "KEEP", "--calibrate", "--targets", "-o", "KEEP"} << 2 << "--targets, --calibrate each write their own output: give one of them";
        QTest::newRow("decode: --tracks with --passes") << decode << QStringList{"KEEP", "--radar", "KEEP", "--passes", "--tracks", "-o", "KEEP"} << 2 << "--tracks, --passes each write their own output";
        QTest::newRow("decode: --passes without a profile") << decode << QStringList{"KEEP", "--passes", "-o", "KEEP"} << 2 << "--passes needs --radar";
        QTest::newRow("decode: --confirm more hits than frames") << decode << QStringList{"KEEP", "--radar", "KEEP", "--tracks", "--confirm", "4/3"} << 2 << "--confirm wants M/N with 1 <= M <= N <= 100, not '4/3'";
        QTest::newRow("decode: --presence-range upside down") << decode << QStringList{"KEEP", "--radar", "KEEP", "--presence", "--presence-range", "10:2"} << 2 << "--presence-range wants MIN:MAX";
        QTest::newRow("decode: --gate of nothing") << decode << QStringList{"KEEP", "--radar", "KEEP", "--tracks", "--gate", "0"} << 2 << "--gate wants bins";
        QTest::newRow("decode: --drop at once") << decode << QStringList{"KEEP", "--radar", "KEEP", "--passes", "--drop", "0"} << 2 << "--drop wants seconds from 0.01 on, not '0'";
        QTest::newRow("decode: --calibrate without a profile") << decode << QStringList{"KEEP", "--calibrate", "-o", "KEEP"} << 2 << "--calibrate needs --radar";
        QTest::newRow("decode: --calibrate into a FIFO") << decode << QStringList{"KEEP", "--radar", "KEEP", "--calibrate", "-o", "@FIFO"} << 2 << "@FIFO is not a file";
        QTest::newRow("decode: --calibrate from a frame of one sample") << decode << QStringList{"KEEP", "--radar", "PROFILE", "--calibrate", "-o", "KEEP"} << 1 << "cannot calibrate from KEEP: the frames are too short";
        QTest::newRow("decode: targets as raw") << decode << QStringList{"KEEP", "--radar", "KEEP", "--targets", "--format", "raw"} << 2 << "not raw";
        // --vitals-range within what the profile reads (the example: 38.4 m; its nearest cell
        // 0.22 m at n = 255, farther with fewer samples); 0 is no cell: the option left out.
        QTest::newRow("decode: --vitals-range beyond the span") << decode << QStringList{"KEEP", "--radar", "PROFILE", "--vitals", "--vitals-range", "50", "-o", "KEEP"} << 2
            << "--vitals-range 50 m is beyond the 38.4 m the profile reads (range_span half): give 0.22 to 38.4 m";
        QTest::newRow("decode: --vitals-range too near") << decode << QStringList{"KEEP", "--radar", "PROFILE", "--vitals", "--vitals-range", "0.1", "-o", "KEEP"} << 2
            << "--vitals-range 0.1 m is nearer than the nearest range the analysis reads (0.22 m at n = 255";
        QTest::newRow("decode: --vitals-range 0") << decode << QStringList{"KEEP", "--radar", "PROFILE", "--vitals", "--vitals-range", "0"} << 2
            << "--vitals-range 0 is the sensor itself: give the person's range in metres, or leave it out";
        // An empty result says why: here a CW recording read for its FMCW frames.
        QTest::newRow("decode: --vitals-range in a CW recording") << decode << QStringList{"KEEP", "--radar", "PROFILE", "--vitals", "--vitals-range", "1.5"} << 0
            << "0 rows of FMCW frames, 0 with a breathing rate\nvazorez-decode: the recording has no FMCW frames: --vitals-range reads FMCW frames; leave it out to read the CW frames";
        // A refused input leaves nothing on standard output, not even the header.
        QTest::newRow("decode: vitals of a bad csv") << decode << QStringList{"BAD", "--radar", "PROFILE", "--vitals"} << 1 << "BAD, line 3: not a row of frame,time_s,mode,k,i,q,s";
        QTest::newRow("decode: frames of a bad csv") << decode << QStringList{"BAD"} << 1 << "BAD, line 3: not a row of frame,time_s,mode,k,i,q,s";
    }

    void failuresAreClear()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const QString kept = dir.filePath("keep.csv");
        const QByteArray userData = "frame,time_s,mode,k,i,q,s\n0,0.000000,CW,0,2048,2047,12\n";
        QFile file(kept);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(userData) == userData.size());
        file.close();
        PseudoTerminal line;
        const QString bad = dir.filePath("not-a-row.csv");
        QFile badFile(bad);
        QVERIFY(badFile.open(QIODevice::WriteOnly));
        badFile.write(userData + "0,0.000000,CW,1,2048,2047\n");
        badFile.close();
        message.replace("BAD", bad).replace("H5FILE", kDamagedHeader);
        const QString fifo = dir.filePath("nobody-reads");
        if (arguments.contains("@FIFO") && !QFileInfo::exists(fifo))
            QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        message.replace("@FIFO", fifo);
        const QString h5Fifo = dir.filePath("nobody-writes.h5");
        if (arguments.contains("@H5FIFO") && !QFileInfo::exists(h5Fifo))
            QVERIFY(::mkfifo(QFile::encodeName(h5Fifo).constData(), 0600) == 0);
        message.replace("@H5FIFO", h5Fifo);
        arguments.replaceInStrings("@H5FIFO", h5Fifo);
        arguments.replaceInStrings("PROFILE", VAZOREZ_SOURCE_DIR "/profiles/example-k-band.json");
        arguments.replaceInStrings("KEEP", kept).replaceInStrings("BAD", bad).replaceInStrings("PTY", line.slavePath()).replaceInStrings("H5FILE", kDamagedHeader).replaceInStrings("@FIFO", fifo);
        QProcess process;
        const QString alone = dir.filePath("alone/" + program);
        if (arguments.value(0) == "ALONE") {
            QVERIFY(QDir().mkpath(QFileInfo(alone).path()));
            QVERIFY(QFile::exists(alone) || QFile::copy(siblingProgram(program), alone));
            process.start(alone, arguments.mid(1));
        } else if (arguments.value(0) == "LIMIT")
            process.start("bash",
                QStringList{"-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\" \"$@\"",
                    siblingProgram(program)}
                    + arguments.mid(1));
        else
            process.start(siblingProgram(program), arguments);
        QVERIFY(process.waitForFinished(kPatienceMs));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), exitCode);
        const QString errors = QString::fromLocal8Bit(process.readAllStandardError());
        QVERIFY2(errors.contains(message.replace("KEEP", kept)), qPrintable(errors));
        const QByteArray written = process.readAllStandardOutput();
        if (exitCode != 0)
            QVERIFY2(written.isEmpty(), written.constData());
        QCOMPARE(readAll(kept), userData);
        QCOMPARE(QDir(dir.path()).entryList({"*.part-*"}), QStringList());
    }

    // A stop ends a conversion or a picture at any moment: between frames of a long file, or while its input
    // stalls (a read that resumes after the signal). The temporary goes and the tool says what it
    // left; it used to exit without a word and leave FILE.part-XXXXXX.
    void aStoppedConversionLeavesNoFile_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("format");
        QTest::newRow("SIGINT during a long conversion") << "long" << SIGINT << "h5";
        QTest::newRow("SIGTERM during a long conversion") << "long" << SIGTERM << "csv";
        QTest::newRow("SIGINT while the input stalls") << "stalled" << SIGINT << "csv";
        QTest::newRow("SIGHUP while the input stalls") << "stalled" << SIGHUP << "h5";
        // A picture of a recording that a FIFO brings, stalled half-way.
        QTest::newRow("vazorez-plot: SIGINT while the input stalls") << "stalled FIFO" << SIGINT << "png";
    }

    void aStoppedConversionLeavesNoFile()
    {
        QFETCH(QString, input);
        QFETCH(int, signal);
        QFETCH(QString, format);
        const QString raw = captureIn("raw");
        QVERIFY(!raw.isEmpty());
        const QByteArray frames = readAll(raw);
        QTemporaryDir work;
        const QString output = work.filePath("keep." + format);
        QProcess decode;
        decode.setWorkingDirectory(work.path());
        if (input == "long") {
            // Tens of megabytes: seconds of work, stopped as soon as the output is being written.
            QFile big(work.filePath("big.raw"));
            QVERIFY(big.open(QIODevice::WriteOnly));
            for (int copy = 0; copy < 1000; ++copy)
                QVERIFY(big.write(frames) == frames.size());
            big.close();
            decode.start(siblingProgram("vazorez-decode"), {big.fileName(), "-o", output});
        } else if (input == "stalled FIFO") {
            const QString fifo = work.filePath("stalled.raw");
            QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
            // Held open for writing, with nothing more to come after the frames.
            const int writer = ::open(QFile::encodeName(fifo).constData(), O_RDWR | O_CLOEXEC);
            QVERIFY(writer >= 0);
            QVERIFY(::write(writer, frames.constData(), size_t(frames.size())) > 0);
            decode.setProcessEnvironment([] {
                QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
                environment.insert("QT_QPA_PLATFORM", "offscreen");
                return environment;
            }());
            decode.start(siblingProgram("vazorez-plot"), {fifo, "-o", output});
            QTRY_VERIFY_WITH_TIMEOUT(!QDir(work.path()).entryList({"keep.*.part-*"}).isEmpty(), 10000);
            ::kill(pid_t(decode.processId()), signal);
            QVERIFY(decode.waitForFinished(kPatienceMs));
            ::close(writer);
        } else {
            decode.start(siblingProgram("vazorez-decode"), {"-", "-o", output, "--format", format});
            QVERIFY(decode.waitForStarted());
            decode.write(frames); // and the input stays open, with nothing more to come
        }
        if (decode.state() != QProcess::NotRunning) {
            QTRY_VERIFY_WITH_TIMEOUT(!QDir(work.path()).entryList({"keep.*.part-*"}).isEmpty(), 10000);
            ::kill(pid_t(decode.processId()), signal);
            QVERIFY(decode.waitForFinished(kPatienceMs));
        }
        const QString errors = QString::fromLocal8Bit(decode.readAllStandardError());
        QCOMPARE(decode.exitStatus(), QProcess::NormalExit);
        QCOMPARE(decode.exitCode(), 128 + signal);
        QVERIFY2(errors.contains(QStringLiteral("%1: stopped; no %2 was made")
                                     .arg(format == "png" ? "vazorez-plot" : "vazorez-decode", output)),
            qPrintable(errors));
        QCOMPARE(QDir(work.path()).entryList({"keep.*"}), QStringList());
    }

    // An h5 recording under way is locked by the library while it is written: reading it is
    // refused as unfinished, not as damaged (it used to say "truncated or damaged").
    void anH5RecordingUnderWayIsSaidToBeSo()
    {
        Session session;
        session.options.count = -1;
        session.options.rate = SimulatorOptions::Rate::Fixed;
        session.options.framesPerSecond = 100;
        const QString path = dir.filePath("under-way.h5");
        QVERIFY(session.start({"-o", path}, 0));
        const QString writing = session.writingPath();
        QVERIFY2(writing.startsWith(path + ".part-"), qPrintable(session.stderrText));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(writing).size() > 0, 5000);
        int exitCode = -1;
        QProcess decode;
        decode.start(siblingProgram("vazorez-decode"), {writing, "-o", dir.filePath("under-way.csv")});
        QVERIFY(decode.waitForFinished(kPatienceMs));
        const QString errors = QString::fromLocal8Bit(decode.readAllStandardError());
        exitCode = decode.exitCode();
        ::kill(pid_t(session.capture.processId()), SIGINT);
        QVERIFY(session.finish());
        QCOMPARE(exitCode, 1);
        QVERIFY2(errors.contains(writing + " is being written by another program"), qPrintable(errors));
        QVERIFY(!QFileInfo::exists(dir.filePath("under-way.csv")));
    }

    void closedStandardOutputIsAnError()
    {
        Session session;
        session.options.count = -1;
        session.options.rate = SimulatorOptions::Rate::Fixed;
        QVERIFY(session.start({}, 0, true));
        QVERIFY(session.finish());
        QCOMPARE(session.capture.exitCode(), 1);
        QVERIFY2(session.stderrText.contains("cannot write to standard output"), qPrintable(session.stderrText));
    }
};

QTEST_GUILESS_MAIN(TestCapture)
#include "tst_capture.moc"
