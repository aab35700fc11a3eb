// SPDX-License-Identifier: MIT
// The vazorez-sim and vazorez-demo programs as processes, read through the real serial worker.
// (The simulator with every fault on through the worker at length: tst_soak.)
#include "boardmodel.h"
#include "framesupport.h"
#include "serialport.h"
#include "qtwarnings.h"
#include "simulator.h"

#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>

namespace {

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
        worker.openPort(first.mid(6), 115200);
        QCOMPARE(collector.readyCount, 1);
        QVERIFY(sim.waitForFinished(10000));
        QCOMPARE(sim.exitCode(), 0);
        const QString summary = QString::fromLocal8Bit(sim.readAllStandardOutput()).trimmed();
        const auto match = QRegularExpression("^sent: (\\d+) frames, (\\d+) bytes, (\\d+) faulty$").match(summary);
        QVERIFY2(match.hasMatch(), qPrintable(summary));
        QCOMPARE(match.captured(1).toInt(), 60);
        QTRY_COMPARE(collector.frames.size(), 60 - match.captured(3).toInt());
        QVERIFY(isInOrderSubset(collector.frames, boardFrames(SimMode::Fmcw, 128, 9, 60)));
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
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 0);
        const QStringList lines = QString::fromLocal8Bit(sim.readAllStandardOutput()).trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        QVERIFY2(QRegularExpression("^sent: [1-9]\\d* frames, \\d+ bytes, 0 faulty$").match(lines[1]).hasMatch(),
                 qPrintable(lines[1]));
    }

    void simProgramRejectsBadInput_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("unknown option") << QStringList{"--bogus"} << 2;
        QTest::newRow("samples out of range") << QStringList{"--samples", "256"} << 2;
        QTest::newRow("bad mode") << QStringList{"--mode", "pulse"} << 2;
        QTest::newRow("bad rate") << QStringList{"--rate", "fast"} << 2;
        QTest::newRow("probability above 1") << QStringList{"--junk", "1.5"} << 2;
        QTest::newRow("stray argument") << QStringList{"extra"} << 2;
        QTest::newRow("missing device") << QStringList{"--device", "/dev/vazorez-none"} << 1;
        QTest::newRow("device that is no tty") << QStringList{"--device", "/dev/null"} << 1;
        QTest::newRow("missing replay file") << QStringList{"--replay", "/nonexistent.raw"} << 1;
    }

    void simProgramRejectsBadInput()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QProcess sim;
        sim.start(siblingProgram("vazorez-sim"), arguments);
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitCode(), exitCode);
        const QStringList errors = QString::fromLocal8Bit(sim.readAllStandardError()).trimmed().split('\n');
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors.first().startsWith("vazorez-sim: "), qPrintable(errors.first()));
        QVERIFY(sim.readAllStandardOutput().isEmpty());
    }

    void demoShowsLiveFramesAndTakesAPicture()
    {
        const QString picture = QDir(QCoreApplication::applicationDirPath()).filePath("demo-screenshot.png");
        QFile::remove(picture);
        QProcess demo;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        demo.setProcessEnvironment(environment);
        demo.start(siblingProgram("vazorez-demo"), {"--autoconnect", "--frames", "20", "--screenshot", picture,
                                             "--rate", "100", "--mode", "alternate", "--junk", "0.1"});
        QVERIFY(demo.waitForFinished(30000));
        QCOMPARE(demo.exitCode(), 0);
        const QImage image(picture);
        QVERIFY(!image.isNull());
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2)
                colours.insert(image.pixel(x, y));
        QVERIFY2(colours.size() > 20, "the demo's picture is blank");
        qInfo("demo picture: %s", qPrintable(picture));
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
