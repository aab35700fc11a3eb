// SPDX-License-Identifier: MIT
// Rough handling while frames stream: connect and disconnect, windows built and torn down, the line
// hung up. Nothing may crash, hang, leak, write to the port, open files or sockets, or make Qt
// complain about threads or socket notifiers.
#include "boardmodel.h"
#include "framesupport.h"
#include "labinstrument.h"
#include "mainwindow.h"
#include "pseudoterminal.h"
#include "qtwarnings.h"
#include "serialport.h"
#include "stopsignals.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPushButton>
#include <QtCharts/QChartView>
#include <QtCharts/QXYSeries>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Plays the board on a pseudo-terminal from its own thread until destroyed.
class Board
{
public:
    explicit Board(PseudoTerminal &line, int pauseMs = 0)
        : thread([this, &line, pauseMs] {
            BoardModel model(SimMode::Alternate, 128, 3);
            for (int64_t k = 0; !stop; ++k) {
                line.write(encodeFrame(model.frame(k % 64)), 50);
                if (pauseMs)
                    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            }
        })
    {
    }
    ~Board()
    {
        stop = true;
        thread.join();
    }

private:
    std::atomic<bool> stop {false};
    std::thread thread;
};

// What the process has open: the targets of its descriptors.
QStringList openDescriptors()
{
    QStringList targets;
    for (const QString &name : QDir("/proc/self/fd").entryList(QDir::System | QDir::NoDotAndDotDot)) {
        char target[512] = {};
        const QByteArray link = QByteArrayLiteral("/proc/self/fd/") + name.toLatin1();
        if (::readlink(link.constData(), target, sizeof target - 1) > 0)
            targets.append(QString::fromLocal8Bit(target));
    }
    return targets;
}

} // namespace

class TestLifecycle : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        registerFrameMetaType();
        watchQtWarnings(WarningWatch::ThreadsAndNotifiers);
    }
    void init() { takeQtWarnings(); }
    void cleanup()
    {
        const QStringList warnings = takeQtWarnings();
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
    }

    void secondSignalWaitsWhileFilesAreMadeWhole()
    {
        // The viewer ends on a first Ctrl-C and dies on a second; one that came while the
        // recording's file was being given its name used to leave FILE.part-XXXXXX behind.
        int report[2];
        QVERIFY(::pipe(report) == 0);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            StopSignals stops;
            QString problem;
            if (!stops.install([] {}, &problem, QStringLiteral("testing")))
                ::_exit(3);
            ::raise(SIGINT); // the first: the program begins to end
            stops.hold();
            ::raise(SIGINT); // the second, while the files are made whole
            [[maybe_unused]] const auto written = ::write(report[1], "whole", 5);
            stops.release(); // now it ends the process
            ::_exit(0);
        }
        ::close(report[1]);
        char said[8] = {};
        const auto got = ::read(report[0], said, sizeof said);
        ::close(report[0]);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QCOMPARE(QByteArray(said, int(std::max<ssize_t>(got, 0))), QByteArray("whole"));
        QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT, "the held signal ends the process");
    }

    void connectDisconnectWhileStreaming()
    {
        PseudoTerminal line;
        FrameCollector collector;
        SerialPort worker;
        collector.listenTo(&worker);
        Board board(line);
        const int cycles = 300;
        for (int cycle = 0; cycle < cycles; ++cycle) {
            worker.openPort(line.slavePath(), LineSettings::kBaudRate);
            QTest::qWait(cycle % 10 == 0 ? 20 : 1);
            worker.closePort();
        }
        QCoreApplication::processEvents();
        QCOMPARE(collector.readyCount, cycles);
        QCOMPARE(collector.failureCount, 0);
        QVERIFY(!collector.frames.isEmpty());
        for (const frame_t &frame : collector.frames)
            QCOMPARE(frame.sample_count, 128);
        qInfo("%d connect/disconnect cycles, %d frames on the way", cycles, int(collector.frames.size()));
        QCOMPARE(line.readAvailable(), QByteArray());
    }

    void windowsBuiltConnectedAndDestroyedWhileStreaming()
    {
        PseudoTerminal line;
        Board board(line, 5);
        const QStringList before = openDescriptors();
        qint64 slowestTeardown = 0;
        for (int round = 0; round < 30; ++round) {
            auto *window = new MainWindow;
            new LabInstrument(window);
            auto *ports = window->findChild<QComboBox *>("comboBox_PortList");
            ports->insertItem(0, line.slavePath());
            ports->setCurrentIndex(0);
            window->show();
            auto *button = window->findChild<QPushButton *>("pushButton_Connect");
            button->click();
            QCOMPARE(button->text(), QStringLiteral("disconnect"));
            auto *series = static_cast<QtCharts::QXYSeries *>(
                window->findChildren<QtCharts::QChartView *>().first()->chart()->series().first());
            QTRY_VERIFY_WITH_TIMEOUT(series->count() == 128, 5000);
            if (round == 0) {
                // Connected and streaming, the program holds the line and nothing else new: no
                // socket, no file.
                QStringList added = openDescriptors();
                for (const QString &old : before)
                    added.removeOne(old);
                for (const QString &descriptor : added)
                    QVERIFY2(descriptor == line.slavePath() || descriptor.startsWith("anon_inode:")
                                 || descriptor.startsWith("pipe:"),
                             qPrintable("unexpected open descriptor: " + descriptor));
                QVERIFY(added.contains(line.slavePath()));
            }
            QElapsedTimer timer;
            timer.start();
            window->close();
            delete window;
            slowestTeardown = std::max(slowestTeardown, timer.elapsed());
        }
        qInfo("30 windows closed while streaming, slowest teardown %lld ms", slowestTeardown);
        QVERIFY2(slowestTeardown < 2000, "tearing a window down hangs");
        QCOMPARE(line.readAvailable(), QByteArray());
    }

    void lineHungUpAndReplacedWhileStreaming()
    {
        FrameCollector collector;
        SerialPort worker;
        collector.listenTo(&worker);
        for (int round = 0; round < 30; ++round) {
            auto line = std::make_unique<PseudoTerminal>();
            worker.openPort(line->slavePath(), LineSettings::kBaudRate);
            QCOMPARE(collector.readyCount, round + 1);
            const int before = collector.frames.size();
            {
                Board board(*line);
                QTRY_VERIFY_WITH_TIMEOUT(collector.frames.size() > before, 5000);
                QCOMPARE(line->readAvailable(), QByteArray());
                line->closeMaster(); // pulled mid-stream
            }
            QTest::qWait(10);
        }
        worker.closePort();
        qInfo("30 hang-ups survived, %d frames on the way", int(collector.frames.size()));
    }
};

QTEST_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
