// SPDX-License-Identifier: MIT
// The history's model and picture, read back pixel by pixel: where a frame lands, the colour scale,
// mode blocks, the reduction of a long recording, incremental drawing, and the worker's tap.
#include "colourmap.h"
#include "historysupport.h"
#include "historytap.h"
#include "linesettings.h"
#include "spectrumhistory.h"
#include "waterfall.h"
#include "waterfallpainter.h"

#include <QGuiApplication>
#include <QPainter>
#include <QtTest>

#include <thread>

namespace {

const QRgb kTop = ColourMap::viridis().back();
const QRgb kBottom = ColourMap::viridis().front();

QRgb pixel(const Waterfall &waterfall, double bin, double seconds)
{
    const int x = waterfall.columnOf(bin + 0.5);
    return waterfall.image().pixel(
        std::min(x, waterfall.image().width() - 1), waterfall.rowOf(seconds));
}

} // namespace

class TestSpectrumHistory : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void peakLandsInItsColumnAndRow_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("samples");
        QTest::addColumn<int>("peakBin");
        QTest::addColumn<int>("width"); // of the picture
        QTest::newRow("CW 128, bin 5") << 0 << 128 << 5 << 512;
        QTest::newRow("CW 128, bin 127, narrower than the bins") << 0 << 128 << 127 << 100;
        QTest::newRow("FMCW 128, bin 40") << 1 << 128 << 40 << 300;
        QTest::newRow("CW 16, bin 3") << 0 << 16 << 3 << 256;
        QTest::newRow("CW 255, bin 250") << 0 << 255 << 250 << 400;
        QTest::newRow("CW 1, bin 0") << 0 << 1 << 0 << 64;
        QTest::newRow("FMCW 255, bin 126") << 1 << 255 << 126 << 256;
    }

    // Frames at line rate, the peak frame in the middle: it must show at its bin and time, and
    // nowhere else in its row.
    void peakLandsInItsColumnAndRow()
    {
        QFETCH(int, mode);
        QFETCH(int, samples);
        QFETCH(int, peakBin);
        QFETCH(int, width);
        SpectrumHistory history(4096, 0.01, SpectrumHistory::Policy::Grow);
        const double peakSeconds = 5.02; // not on a row's edge
        for (int k = 0; k < 110; ++k) {
            const double seconds = 0.05 + 0.09 * k;
            const bool peak = std::abs(seconds - peakSeconds) < 0.045;
            history.add(decodedRecord(spectrumFrame(mode, samples, peak ? peakBin : -1)),
                peak ? peakSeconds : seconds);
        }
        Waterfall waterfall;
        waterfall.setSize(QSize(width, 200));
        waterfall.renderRange(history, 0, 10);
        const int m = mode == 0 ? samples : samples / 2;
        QCOMPARE(waterfall.xMax(), Waterfall::xMaxFor(m));
        QCOMPARE(pixel(waterfall, peakBin, peakSeconds), kTop);
        // The same bin three frames before and after, and the row's other bins, are at the floor.
        QCOMPARE(pixel(waterfall, peakBin, 0.05 + 0.09 * 52), kBottom);
        QCOMPARE(pixel(waterfall, peakBin, 0.05 + 0.09 * 58), kBottom);
        const int row = waterfall.rowOf(peakSeconds);
        const QRgb *line = reinterpret_cast<const QRgb *>(waterfall.image().constScanLine(row));
        const int peakColumns = int(std::count(line, line + width, kTop));
        QVERIFY2(peakColumns >= 1 && peakColumns <= std::max(1, width / waterfall.xMax() + 1),
            qPrintable(QString::number(peakColumns)));
        // A frame is drawn at its own width: beyond its bins there is no data.
        if (waterfall.columnOf(m) < width)
            QCOMPARE(line[waterfall.columnOf(m)], ColourMap::kNoData);
    }

    void colourScaleEndsAreTheChartsAxis_data()
    {
        QTest::addColumn<float>("db");
        QTest::addColumn<int>("level");
        QTest::newRow("-35 dB, the bottom") << -35.0f << 0;
        QTest::newRow("below the axis") << -1000.0f << 0;
        QTest::newRow("60 dB, the top") << 60.0f << 255;
        QTest::newRow("above the axis") << 1e9f << 255;
        QTest::newRow("12.5 dB, the middle") << 12.5f << 128;
    }

    void colourScaleEndsAreTheChartsAxis()
    {
        QFETCH(float, db);
        QFETCH(int, level);
        QCOMPARE(ColourMap::levelForDb(db), level);
    }

    // The painted colour bar: 60 dB at its top, -35 dB at its bottom, dark to light (viridis).
    void colourBarRunsFromMinus35To60()
    {
        QImage image(640, 480, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        const WaterfallLayout layout = WaterfallLayout::within(image.rect(), painter.fontMetrics());
        Waterfall waterfall;
        waterfall.setSize(layout.plot.size());
        paintWaterfall(painter, layout, waterfall, "time (s)");
        painter.end();
        const QRect bar = layout.colourBar;
        QCOMPARE(image.pixel(bar.center().x(), bar.top()), kTop);
        QCOMPARE(image.pixel(bar.center().x(), bar.bottom()), kBottom);
        QVERIFY(qGray(kTop) > qGray(kBottom));
    }

    void modeChangeStartsABlock_data()
    {
        // One letter a frame, oldest first: C = CW, F = FMCW, - = a frame the receive rules
        // rejected (its time passes without a frame).
        QTest::addColumn<QString>("modes");
        QTest::addColumn<QStringList>("blocks"); // newest first
        // An alternating board whose line drops a frame now and then: two frames of one mode
        // follow each other wherever a frame is missing.
        QString faulty;
        for (int k = 0; k < 320; ++k)
            faulty += k % 37 == 36 ? '-' : k % 2 ? 'F' : 'C';
        QTest::newRow("CW then FMCW") << QString(40, 'C') + QString(40, 'F')
                                      << QStringList{"FMCW, bins 0-64", "CW, bins 0-128"};
        QTest::newRow("FMCW then CW") << QString(40, 'F') + QString(40, 'C')
                                      << QStringList{"CW, bins 0-128", "FMCW, bins 0-64"};
        QTest::newRow("CW throughout") << QString(80, 'C') << QStringList{"CW, bins 0-128"};
        QTest::newRow("alternating")
            << QString("CF").repeated(40) << QStringList{"CW + FMCW, bins 0-128"};
        QTest::newRow("one FMCW frame between CW")
            << QString(40, 'C') + "F" + QString(39, 'C')
            << QStringList{"CW, bins 0-128", "FMCW, bins 0-64", "CW, bins 0-128"};
        QTest::newRow("alternating, a frame rejected now and then")
            << faulty << QStringList{"CW + FMCW, bins 0-128"};
        QTest::newRow("CW, alternating with rejected frames, FMCW")
            << QString(60, 'C') + faulty.left(150) + QString(60, 'F')
            << QStringList{"FMCW, bins 0-64", "CW + FMCW, bins 0-128", "CW, bins 0-128"};
        QTest::newRow("a CW frame rejected between CW and FMCW") << QString(40, 'C') + "-"
                + QString(40, 'F') << QStringList{"FMCW, bins 0-64", "CW, bins 0-128"};
    }

    // Each block is its own run of rows with a line at its top edge (the newest block starts at the
    // top): in the live window, short or tall, and in a picture of the whole recording.
    void modeChangeStartsABlock()
    {
        QFETCH(QString, modes);
        QFETCH(QStringList, blocks);
        SpectrumHistory history = SpectrumHistory::live();
        SpectrumHistory whole(
            4096, 1e-3, SpectrumHistory::Policy::Grow); // as vazorez-plot keeps it
        for (int k = 0; k < modes.size(); ++k) {
            if (modes[k] == '-')
                continue;
            const frame_t record = decodedRecord(spectrumFrame(modes[k] == 'F', 128, 10));
            history.add(record, 0.09 * k);
            whole.add(record, 0.09 * k);
        }
        // Rows of one slot each, and rows shorter than a frame's interval.
        for (const int height : {512, 1100}) {
            Waterfall waterfall;
            waterfall.setSize(QSize(256, height));
            waterfall.follow(history);
            QStringList labels;
            for (const ModeBlock &block : waterfall.modeBlocks())
                labels << modeBlockLabel(block.modes, block.width);
            QVERIFY2(labels == blocks,
                qPrintable(QStringLiteral("%1 rows: %2").arg(height).arg(labels.join(" | "))));

            waterfall.renderRange(whole, double(whole.oldestIndex()) * whole.slotSeconds(),
                double(whole.newestIndex() + 1) * whole.slotSeconds());
            labels.clear();
            for (const ModeBlock &block : waterfall.modeBlocks())
                labels << modeBlockLabel(block.modes, block.width);
            QVERIFY2(labels == blocks,
                qPrintable(QStringLiteral("whole recording in %1 rows: %2")
                               .arg(height)
                               .arg(labels.join(" | "))));
        }

        QImage image(400, 600, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        const WaterfallLayout layout = WaterfallLayout::within(image.rect(), painter.fontMetrics());
        Waterfall waterfall;
        waterfall.setSize(layout.plot.size());
        waterfall.follow(history);
        paintWaterfall(painter, layout, waterfall, "time (s)");
        painter.end();
        const std::vector<ModeBlock> drawn = waterfall.modeBlocks();
        for (size_t k = 1; k < drawn.size(); ++k) {
            const int y = layout.plot.top() + drawn[k].top;
            // The line crosses the whole plot, also where FMCW rows have no data.
            QCOMPARE(image.pixel(layout.plot.right() - 2, y), qRgb(255, 255, 255));
            // Below the line, the block's data; a block one row high is all line (how high a frame's
            // rows are depends on the font beside the plot).
            if (drawn[k].bottom > drawn[k].top)
                QVERIFY(image.pixel(layout.plot.right() - 2, y + 1) != qRgb(255, 255, 255));
        }
    }

    void spikeSurvivesTheReductionOfAnHour_data()
    {
        QTest::addColumn<int>("spikeFrame");
        QTest::addColumn<int>("height");
        QTest::newRow("first frame") << 0 << 300;
        QTest::newRow("middle") << 23456 << 300;
        QTest::newRow("last frame") << 39999 << 150;
    }

    // 40,000 frames at line rate (an hour) into a few hundred rows: the one frame at 60 dB shows.
    void spikeSurvivesTheReductionOfAnHour()
    {
        QFETCH(int, spikeFrame);
        QFETCH(int, height);
        const frame_t quiet = decodedRecord(spectrumFrame(0, 128, -1, 60, 0));
        const frame_t spike = decodedRecord(spectrumFrame(0, 128, 77, 60, 0));
        SpectrumHistory history(4 * height, 1e-3, SpectrumHistory::Policy::Grow);
        const double period = LineSettings::secondsFor(1031);
        for (int k = 0; k < 40000; ++k)
            history.add(k == spikeFrame ? spike : quiet, (k + 1) * period);
        QCOMPARE(history.frameCount(), int64_t(40000));
        QVERIFY(history.capacity() == 4 * height);
        Waterfall waterfall;
        waterfall.setSize(QSize(256, height));
        waterfall.renderRange(history, double(history.oldestIndex()) * history.slotSeconds(),
            double(history.newestIndex() + 1) * history.slotSeconds());
        const QImage &image = waterfall.image();
        int spikes = 0;
        for (int y = 0; y < image.height(); ++y)
            spikes += image.pixel(waterfall.columnOf(77.5), y) == kTop;
        QCOMPARE(spikes, 1);
        QCOMPARE(pixel(waterfall, 77, (spikeFrame + 1) * period), kTop);
    }

    // Drawing only what changed gives the same pixels as drawing everything, whatever the pace.
    void incrementalDrawingMatchesAFullDrawing_data()
    {
        QTest::addColumn<double>("framesPerSecond");
        QTest::addColumn<int>("height");
        QTest::newRow("line rate, fewer rows than slots") << 11.17 << 300;
        QTest::newRow("line rate, more rows than slots") << 11.17 << 700;
        QTest::newRow("flood") << 2000.0 << 400;
        QTest::newRow("a frame every 2 s") << 0.5 << 300;
    }

    void incrementalDrawingMatchesAFullDrawing()
    {
        QFETCH(double, framesPerSecond);
        QFETCH(int, height);
        SpectrumHistory history = SpectrumHistory::live();
        Waterfall incremental;
        incremental.setSize(QSize(200, height));
        int64_t drawn = 0;
        int frame = 0;
        // Drained every 30 ms for 45 s: the history slides past its 30 s.
        for (double now = 0; now < 45.0; now += 0.03) {
            for (; frame / framesPerSecond <= now; ++frame)
                history.add(
                    decodedRecord(spectrumFrame(frame % 7 == 0, 16 + frame % 113, frame % 50)),
                    frame / framesPerSecond);
            drawn += incremental.follow(history);
        }
        QVERIFY(history.frameCount() > 0);
        Waterfall full;
        full.setSize(QSize(200, height));
        full.follow(history);
        QCOMPARE(incremental.topSeconds(), full.topSeconds());
        QCOMPARE(incremental.image(), full.image());
        // Far fewer rows than a full drawing per drain.
        QVERIFY2(drawn < int64_t(45.0 / 0.03) * height / 4, qPrintable(QString::number(drawn)));
    }

    // Frames from the worker's thread reach the GUI thread's history, none lost, merged by slot.
    void tapHandsFramesOverFromAnotherThread()
    {
        HistoryTap tap;
        SpectrumHistory history = SpectrumHistory::live();
        const frame_t record = decodedRecord(spectrumFrame(0, 64, 3));
        // 2 s of frames, taken while the worker runs: the tap holds 30 s for a GUI thread that is
        // late.
        const int frames = 20000;
        std::atomic<bool> done{false};
        std::thread worker([&] {
            for (int k = 0; k < frames; ++k)
                tap.frameDecoded(record, nullptr, 0, k * 1e-4);
            done = true;
        });
        while (!done)
            tap.drainInto(history);
        worker.join();
        tap.drainInto(history);
        QCOMPARE(history.frameCount(), int64_t(frames));
        QCOMPARE(history.lastSeconds(), (frames - 1) * 1e-4);
        QVERIFY(history.slotAt(history.newestIndex())->frames > 1);

        // A new link restarts the clock: the old rows go. A paused tap keeps nothing.
        tap.linkOpened({"again", {}});
        tap.frameDecoded(record, nullptr, 0, 0.5);
        tap.drainInto(history);
        QCOMPARE(history.frameCount(), int64_t(1));
        tap.setPaused(true);
        tap.frameDecoded(record, nullptr, 0, 0.6);
        tap.setPaused(false);
        QCOMPARE(tap.drainInto(history), int64_t(0));
        QCOMPARE(history.frameCount(), int64_t(1));
        QCOMPARE(tap.framesSeen(), int64_t(frames + 2));

        // A worker without a link clock passes 0: the tap's own clock stands in, so rows move on.
        tap.linkOpened({"no clock", {}});
        tap.frameDecoded(record, nullptr, 0, 0.0);
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 100) { } // more than a slot of the tap's own clock
        tap.frameDecoded(record, nullptr, 0, 0.0);
        tap.drainInto(history);
        QCOMPARE(history.frameCount(), int64_t(2));
        QVERIFY(history.lastSeconds() >= 0.1);
        QVERIFY(history.newestIndex() > history.oldestIndex());
    }
};

QTEST_MAIN(TestSpectrumHistory)
#include "tst_spectrumhistory.moc"
