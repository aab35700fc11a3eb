// SPDX-License-Identifier: MIT
// The window's share: the time of slot_receive_frame and of the repaint it causes, the highest frame
// rate the window sustains without its event queue growing, the program's CPU at line rate (and
// that no frame is skipped there), a flood of the smallest frames (memory, the last frame's delay
// to the screen, frames skipped), and its idle cost. Runs offscreen unless a display is set.
// Usage: window_bench [--json] [--smoke]
#include "benchjson.h"
#include "benchprocess.h"
#include "boardmodel.h"
#include "framedecoder.h"
#include "frameencoder.h"
#include "framerecorder.h"
#include "framesupport.h"
#include "linesettings.h"
#include "labinstrument.h"
#include "mainwindow.h"
#include "pseudoterminal.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtCharts/QChartView>
#include <QtCharts/QXYSeries>

#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <chrono>
#include <malloc.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {


void spin(int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Waits in the event loop, as the program does, and reports CPU as a percentage of one core.
double cpuPercentWhileWaiting(int milliseconds)
{
    const double before = cpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
    return (cpuSeconds() - before) / (milliseconds / 1000.0) * 100.0;
}


double heapMiB()
{
    const struct mallinfo2 info = mallinfo2();
    return double(info.uordblks + info.hblkhd) / (1 << 20);
}

// A figure from the status bar, as the user reads it: the number before `what`.
double statusFigure(MainWindow *window, const QString &what)
{
    const auto *line = window->findChild<QLabel *>("label_LinkStatus");
    const auto match = QRegularExpression(" (\\d+) " + QRegularExpression::escape(what))
                           .match(line ? line->toolTip() : QString());
    return match.hasMatch() ? match.captured(1).toDouble() : -1;
}

double skippedFrames(MainWindow *window)
{
    return statusFigure(window, "skipped by the display");
}

// Remembers when a widget last painted.
class PaintClock : public QObject
{
public:
    std::chrono::steady_clock::time_point lastPaint;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            lastPaint = std::chrono::steady_clock::now();
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "default.debug=false;qt.qpa.*=false");
    QApplication application(argc, argv);
    registerFrameMetaType();
    const bool json = application.arguments().contains("--json");
    const bool smoke = application.arguments().contains("--smoke");
    Figures figures;
    figures.add(QStringLiteral("platform: %1").arg(QGuiApplication::platformName()), 0, "");

    // A steady CW board, and one that alternates CW and FMCW, which moves the spectrum's x range
    // on every frame.
    auto recordsOf = [](SimMode mode) {
        std::vector<frame_t> records;
        BoardModel board(mode, 128, 1);
        FrameDecoder decoder;
        for (int k = 0; k < 64; ++k) {
            const QByteArray bytes = encodeFrame(board.frame(k));
            frame_t record;
            decoder.decodeFrame(bytes.constData(), bytes.size(), record);
            records.push_back(record);
        }
        return records;
    };
    const std::vector<frame_t> frames = recordsOf(SimMode::Cw);
    const std::vector<frame_t> alternating = recordsOf(SimMode::Alternate);

    auto *window = new MainWindow;
    auto *lab = new LabInstrument(window); // the status bar's figures, recording
    window->show();
    spin(300);
    const auto views = window->findChildren<QtCharts::QChartView *>();
    auto *iSeries = static_cast<QtCharts::QXYSeries *>(views.first()->chart()->series().first());

    // The slot alone, and the slot with the repaint it causes.
    const int calls = smoke ? 50 : 500;
    for (const auto &[name, records] : {std::make_pair("CW", &frames), std::make_pair("alternating", &alternating)}) {
        QElapsedTimer timer;
        timer.start();
        for (int k = 0; k < calls; ++k)
            window->slot_receive_frame((*records)[size_t(k) % records->size()]);
        figures.add(QStringLiteral("slot_receive_frame, %1").arg(name), timer.nsecsElapsed() / 1e3 / calls, "us per frame");
        double repaint = 0;
        for (int k = 0; k < calls / 5; ++k) {
            window->slot_receive_frame((*records)[size_t(k) % records->size()]);
            timer.restart();
            for (auto *view : views)
                view->viewport()->repaint();
            repaint += timer.nsecsElapsed() / 1e3;
        }
        figures.add(QStringLiteral("repaint of both charts after a frame, %1").arg(name), repaint / (calls / 5), "us per frame");
    }

    // Frames queued from another thread at a fixed rate: does the window keep up?
    int processed = 0;
    QObject::connect(iSeries, &QtCharts::QXYSeries::pointsReplaced, [&processed] { ++processed; });
    int sustained = 0;
    for (int rate : {25, 50, 100, 200, 400, 800, 1600}) {
        processed = 0;
        std::atomic<int> posted {0};
        std::atomic<bool> stop {false};
        std::thread producer([&] {
            const auto period = std::chrono::duration<double>(1.0 / rate);
            auto due = std::chrono::steady_clock::now();
            for (int k = 0; !stop; ++k) {
                QMetaObject::invokeMethod(window, "slot_receive_frame", Qt::QueuedConnection,
                                          Q_ARG(frame_t, frames[size_t(k) % frames.size()]));
                ++posted;
                due += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
                std::this_thread::sleep_until(due);
            }
        });
        spin(smoke ? 500 : 2000);
        stop = true;
        producer.join();
        const int backlog = posted - processed;
        spin(0);
        while (processed < posted)
            QCoreApplication::processEvents();
        figures.add(QStringLiteral("backlog after feeding %1 frames/s").arg(rate), backlog, "frames");
        if (backlog <= std::max(5, rate / 20))
            sustained = rate;
        else
            break;
    }
    figures.add("highest rate sustained without the queue growing", sustained, "frames/s");

    // The recorder's own cost per frame, on the worker thread, for each format.
    QTemporaryDir scratch;
    {
        BoardModel board(SimMode::Alternate, 128, 4);
        std::vector<QByteArray> encoded;
        std::vector<frame_t> decoded;
        FrameDecoder decoder;
        for (int k = 0; k < 64; ++k) {
            encoded.push_back(encodeFrame(board.frame(k)));
            frame_t record;
            decoder.decodeFrame(encoded.back().constData(), encoded.back().size(), record);
            decoded.push_back(record);
        }
        for (const char *format : {"csv", "jsonl", "raw"}) {
            FrameRecorder recorder(scratch.filePath(QStringLiteral("cost.%1").arg(format)), format);
            QString error;
            recorder.start(0, &error);
            const int frames = smoke ? 500 : 5000;
            const double before = cpuSeconds();
            for (int k = 0; k < frames; ++k) {
                const QByteArray &bytes = encoded[size_t(k) % encoded.size()];
                recorder.frameDecoded(decoded[size_t(k) % decoded.size()], bytes.constData(), bytes.size(), k / 11.17);
            }
            recorder.finish(&error);
            const double perFrame = (cpuSeconds() - before) / frames;
            figures.add(QStringLiteral("recording a 128-sample frame as %1").arg(format), perFrame * 1e6, "us");
            figures.add(QStringLiteral("recording as %1 at line rate (11.17 frames/s)").arg(format), perFrame * 11.17 * 100, "% of a core");
        }
    }

    // Idle: no port, then a port open with nothing arriving.
    const int idleMs = smoke ? 1000 : 10000;
    figures.add("CPU idle, no port", cpuPercentWhileWaiting(idleMs), "% of a core");
    PseudoTerminal line;
    auto *ports = window->findChild<QComboBox *>("comboBox_PortList");
    ports->insertItem(0, line.slavePath());
    ports->setCurrentIndex(0);
    window->findChild<QPushButton *>("pushButton_Connect")->click();
    figures.add("CPU idle, port open, nothing arriving", cpuPercentWhileWaiting(idleMs), "% of a core");

    // The whole program showing frames at the line's rate, painting included.
    for (const auto &[mode, recording] : {std::make_pair(SimMode::Cw, false), std::make_pair(SimMode::Alternate, false),
                                          std::make_pair(SimMode::Cw, true)}) {
        const QString name = QString(mode == SimMode::Cw ? "CW" : "alternating") + (recording ? ", recording csv" : "");
        QString error;
        if (recording)
            lab->startRecording(scratch.filePath("line-rate.csv"), QString(), &error);
        std::atomic<bool> stop {false};
        std::thread board([&, mode] {
            BoardModel model(mode, 128, 2);
            auto due = std::chrono::steady_clock::now();
            for (int64_t k = 0; !stop; ++k) {
                const QByteArray bytes = encodeFrame(model.frame(k));
                line.write(bytes, 1000);
                due += std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(LineSettings::secondsFor(bytes.size())));
                std::this_thread::sleep_until(due);
            }
        });
        spin(500);
        const int shownBefore = processed;
        const double skippedBefore = skippedFrames(window);
        const double seconds = smoke ? 2.0 : 10.0;
        figures.add(QStringLiteral("CPU showing frames at line rate, %1").arg(name), cpuPercentWhileWaiting(int(seconds * 1000)), "% of a core");
        figures.add(QStringLiteral("frames shown per second at line rate, %1").arg(name), (processed - shownBefore) / seconds, "frames/s");
        figures.add(QStringLiteral("frames skipped by the display at line rate, %1").arg(name), skippedFrames(window) - skippedBefore, "frames");
        stop = true;
        board.join();
        if (recording)
            lab->stopRecording();
    }

    // A flood of 1-sample frames, as fast as the pseudo-terminal takes them: memory, the delay of
    // the last frame to the screen, and what the display skipped.
    {
        PaintClock paints;
        views.first()->viewport()->installEventFilter(&paints);
        QByteArray burst;
        for (int k = 0; k < 4000; ++k)
            appendFrame(burst, numberedFrame(k, 1, uint8_t(k % 2)));
        QString error;
        const QString flooded = scratch.filePath("flood.raw");
        spin(300); // the line is quiet and the status bar current
        const double decodedBefore = statusFigure(window, "frames,");
        lab->startRecording(flooded, QString(), &error);
        std::atomic<bool> stop {false};
        std::thread board([&] {
            while (!stop && line.write(burst, 1000)) {
            }
        });
        const double seconds = smoke ? 2.0 : 10.0;
        spin(1000);
        const double residentWarm = residentMiB(), heapWarm = heapMiB();
        const double skippedBefore = skippedFrames(window);
        double residentMost = residentWarm;
        for (QElapsedTimer timer; !timer.isValid() || timer.elapsed() < (seconds - 1) * 1000;) {
            if (!timer.isValid())
                timer.start();
            spin(250);
            residentMost = std::max(residentMost, residentMiB());
        }
        stop = true;
        board.join();
        const QVector<QPointF> lastPoints = expectedRecord(numberedFrame(7, 16, 1)).i_series;
        const auto written = std::chrono::steady_clock::now();
        line.write(encodeFrame(numberedFrame(7, 16, 1)));
        std::chrono::steady_clock::time_point replaced {};
        while (std::chrono::steady_clock::now() - written < std::chrono::seconds(5)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            if (replaced == std::chrono::steady_clock::time_point {} && pointsOf(iSeries) == lastPoints)
                replaced = std::chrono::steady_clock::now();
            if (replaced != std::chrono::steady_clock::time_point {} && paints.lastPaint > replaced)
                break;
        }
        spin(300); // the status bar's next refresh
        const double decoded = statusFigure(window, "frames,") - decodedBefore;
        const double recorded = statusFigure(window, "frames");
        lab->stopRecording();
        figures.add("flood of 1-sample frames: frames decoded", decoded, "frames");
        figures.add("flood of 1-sample frames: frames recorded (raw)", recorded, "frames");
        figures.add("flood of 1-sample frames: bytes recorded / bytes of the frames decoded",
                    QFileInfo(flooded).size() / (decoded * 15.0), "");
        figures.add("flood of 1-sample frames: frames skipped by the display", skippedFrames(window) - skippedBefore, "frames");
        figures.add("flood of 1-sample frames: resident memory after 1 s", residentWarm, "MiB");
        figures.add("flood of 1-sample frames: resident growth in the next seconds (at most)", residentMost - residentWarm, "MiB");
        figures.add("flood of 1-sample frames: heap in use after 1 s", heapWarm, "MiB");
        figures.add("flood of 1-sample frames: heap in use at the end", heapMiB(), "MiB");
        figures.add("flood of 1-sample frames: last frame written to painted", std::chrono::duration<double, std::milli>(paints.lastPaint - written).count(), "ms");
        views.first()->viewport()->removeEventFilter(&paints);
    }
    delete window;
    figures.print("window_bench", json);
    return 0;
}
