// SPDX-License-Identifier: MIT
// Long runs through a pseudo-terminal into the real serial worker: the simulator at full speed
// with every fault at 1 percent (nothing good is lost, nothing bad gets through, no leak), and a
// flood of the smallest frames into the real window (it stays current, memory stays flat).
#include "boardmodel.h"
#include "faultinjector.h"
#include "framesupport.h"
#include "sanitizers.h"
#include "labinstrument.h"
#include "mainwindow.h"
#include "pseudoterminal.h"
#include "serialport.h"
#include "simulator.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QtCharts/QChartView>
#include <QtCharts/QXYSeries>
#include <QtTest>

#include <malloc.h>
#include <thread>
#include <unistd.h>

namespace {

uint64_t fingerprint(const frame_t &frame)
{
    uint64_t hash = 1469598103934665603ull;
    auto mix = [&hash](const void *data, size_t size) {
        const auto *p = static_cast<const unsigned char *>(data);
        for (size_t k = 0; k < size; ++k)
            hash = (hash ^ p[k]) * 1099511628211ull;
    };
    mix(&frame.modulation, sizeof frame.modulation);
    mix(frame.i_samples.data(), frame.i_samples.size() * sizeof(int16_t));
    mix(frame.q_samples.data(), frame.q_samples.size() * sizeof(int16_t));
    mix(frame.fft_series.constData(), size_t(frame.fft_series.size()) * sizeof(QPointF));
    return hash;
}

// Bytes the program holds on the heap: unlike the resident size it goes down again when a backlog
// has drained, so it tells a leak from a busy neighbour that made frames queue up for a while.
long liveHeapKiB()
{
    const struct mallinfo2 info = mallinfo2();
    return long((info.uordblks + info.hblkhd) / 1024);
}

long residentKiB()
{
    QFile statm("/proc/self/statm");
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

class Checker : public QObject
{
    Q_OBJECT
public:
    std::vector<uint64_t> expected;
    int64_t received = 0;
    int64_t firstMismatch = -1;

public Q_SLOTS:
    void onFrame(const frame_t &frame)
    {
        if (firstMismatch < 0 && (received >= int64_t(expected.size()) || fingerprint(frame) != expected[size_t(received)]))
            firstMismatch = received;
        ++received;
    }
};

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hundredThousandFramesWithFaults()
    {
        registerFrameMetaType();
        const int64_t frames = qEnvironmentVariableIsSet("VAZOREZ_SOAK_FRAMES")
            ? qEnvironmentVariable("VAZOREZ_SOAK_FRAMES").toLongLong()
            : 100000;
        SimulatorOptions options;
        options.mode = SimMode::Alternate;
        options.count = frames;
        options.seed = 2024;
        options.rate = SimulatorOptions::Rate::Max;
        options.faults = {0.01, 0.01, 0.01, 0.01, 0.01};

        // What must come out: the same stream generated here, less the frames broken on purpose.
        Checker checker;
        {
            BoardModel board(options.mode, options.samples, options.seed);
            FaultInjector faults(options.faults, options.seed);
            QByteArray scratch;
            for (int64_t index = 0; index < frames; ++index) {
                const FrameValues values = board.frame(index);
                scratch.clear();
                if (!faults.append(scratch, encodeFrame(values)))
                    checker.expected.push_back(fingerprint(expectedRecord(values)));
            }
        }

        Simulator simulator(options);
        QString path, error;
        QVERIFY2(simulator.openPseudoTerminal(&path, &error), qPrintable(error));
        SerialPort worker;
        connect(&worker, &SerialPort::signalFrame, &checker, &Checker::onFrame, Qt::QueuedConnection);
        FrameCollector outcome;
        connect(&worker, &SerialPort::signalComPortReady, &outcome, &FrameCollector::onReady);
        worker.openPort(path, LineSettings::kBaudRate);
        QCOMPARE(outcome.readyCount, 1);
        const long heapBefore = liveHeapKiB();
        const long residentBefore = residentKiB();

        QElapsedTimer timer;
        timer.start();
        std::atomic<bool> boardDone {false};
        std::thread board([&] {
            simulator.run([] { return false; });
            boardDone = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(boardDone.load(), 600000);
        board.join();
        const auto &stats = simulator.stats();
        QTRY_COMPARE_WITH_TIMEOUT(checker.received, stats.frames - stats.faulty, 30000);
        const double seconds = timer.nsecsElapsed() / 1e9;
        QCoreApplication::processEvents();
        const long heapAfter = liveHeapKiB();
        const long residentAfter = residentKiB();

        qInfo("soak: %s; received %lld in %.1f s (%.0f frames/s)", qPrintable(simulator.summary()),
              static_cast<long long>(checker.received), seconds, checker.received / seconds);
        qInfo("soak: heap in use %ld KiB before, %ld KiB after %lld frames (%+ld KiB); resident %+ld KiB",
              heapBefore, heapAfter, static_cast<long long>(checker.received), heapAfter - heapBefore,
              residentAfter - residentBefore);
        QCOMPARE(stats.frames, frames);
        QCOMPARE(int64_t(checker.expected.size()), stats.frames - stats.faulty);
        QCOMPARE(checker.firstMismatch, int64_t(-1));
#ifdef VAZOREZ_UNDER_ASAN
        qInfo("soak: resident memory not checked under AddressSanitizer (its quarantine holds freed blocks)");
#else
        QVERIFY2(heapAfter - heapBefore <= 1024, "the heap grew by more than 1 MiB over the run");
#endif
    }

    void floodOfSmallFramesKeepsTheWindowCurrent()
    {
        // A board faster than the screen used to queue every frame to the window: 50 to 80 MiB
        // more after 6 s, and the last frame on screen more than a second late.
        PseudoTerminal line;
        MainWindow window;
        LabInstrument lab(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *ports = window.findChild<QComboBox *>("comboBox_PortList");
        ports->insertItem(0, line.slavePath());
        ports->setCurrentIndex(0);
        auto *button = window.findChild<QPushButton *>("pushButton_Connect");
        button->click();
        QCOMPARE(button->text(), QStringLiteral("disconnect"));
        auto *iSeries = static_cast<QtCharts::QXYSeries *>(
            window.findChildren<QtCharts::QChartView *>().first()->chart()->series().first());

        QByteArray burst;
        for (int k = 0; k < 4000; ++k)
            appendFrame(burst, numberedFrame(k, 1, uint8_t(k % 2)));
        std::atomic<bool> stop {false};
        std::thread board([&] {
            while (!stop && line.write(burst, 1000)) {
            }
        });
        QTest::qWait(1000);
        const long heapWarm = liveHeapKiB();
        long heapMost = heapWarm;
        for (int k = 0; k < 12; ++k) {
            QTest::qWait(250);
            heapMost = std::max(heapMost, liveHeapKiB());
        }
        stop = true;
        board.join();
        // The newest frame reaches the charts, whatever was skipped on the way.
        const FrameValues last = numberedFrame(7, 16, 1);
        QVERIFY(line.write(encodeFrame(last)));
        QTRY_COMPARE(pointsOf(iSeries), expectedRecord(last).i_series);
        // The link's whole line is the tooltip of its label.
        const QString status = window.findChild<QLabel *>("label_LinkStatus")->toolTip();
        const auto skipped = QRegularExpression(" (\\d+) skipped by the display").match(status);
        QVERIFY2(skipped.hasMatch() && skipped.captured(1).toLongLong() > 0, qPrintable(status));
        qInfo("flood: heap in use %ld KiB after 1 s, at most %+ld KiB in the next 3 s; %s", heapWarm,
              heapMost - heapWarm, qPrintable(status));
#ifndef VAZOREZ_UNDER_ASAN
        QVERIFY2(heapMost - heapWarm <= 4096, "memory grows under a flood");
#endif
        button->click();
    }
};

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
