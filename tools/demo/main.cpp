// SPDX-License-Identifier: MIT
// vazorez-demo: the viewer's window, unchanged, with a simulated board behind a pseudo-terminal.
#include "labinstrument.h"
#include "mainwindow.h"
#include "replayfile.h"
#include "simulator.h"
#include "toolcli.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QImageWriter>
#include <QPushButton>
#include <QTimer>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <optional>
#include <thread>

namespace {

// The raw-data "I" series is replaced once per frame shown.
QtCharts::QXYSeries *frameSeries(MainWindow &window)
{
    for (auto *view : window.findChildren<QtCharts::QChartView *>())
        for (auto *series : view->chart()->series())
            if (series->name() == QLatin1String("I"))
                return static_cast<QtCharts::QXYSeries *>(series);
    return nullptr;
}

// Writes a PNG of the window; false with a message that says why not.
bool savePicture(MainWindow &window, const QString &path)
{
    QImageWriter writer(path, "png");
    if (writer.write(window.grab().toImage()))
        return true;
    toolError(QStringLiteral("cannot write %1: %2").arg(path, writer.errorString()));
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    // The options are read before the window system is: --help and bad options need no display.
    std::optional<QCoreApplication> console;
    console.emplace(argc, argv);
    QCoreApplication::setApplicationName("vazorez-demo");
    // A replay's junk is not the viewer's: its debug lines wait for the window.
    qInstallMessageHandler(printAllButDebug);

    QCommandLineParser parser;
    parser.setApplicationDescription("The VazoRez viewer with a simulated board: click \"connect\".");
    parser.addHelpOption();
    QList<QCommandLineOption> demoOptions{
        {"autoconnect", "Connect at once."},
        {"frames", "Quit with exit code 0 after N frames have been shown, or when a --replay or "
                   "--count stream ends before that.", "N"},
        {"screenshot", "Write a PNG of the window before quitting (when it closes, without --frames).", "FILE"},
    };
    parser.addOptions(demoOptions);
    if (const auto exitCode = parseArguments(parser, demoOptions + addSimulatorOptions(parser, false)))
        return *exitCode;
    SimulatorOptions options;
    QString error;
    if (!readSimulatorOptions(parser, options, &error))
        return usageError(error);
    for (const QString &warning : options.warnings)
        std::fprintf(stderr, "vazorez-demo: %s\n", qPrintable(warning));
    int framesToShow = -1;
    if (parser.isSet("frames")) {
        bool ok = false;
        framesToShow = parser.value("frames").toInt(&ok);
        if (!ok || framesToShow < 1)
            return usageError(QStringLiteral("--frames wants a positive number, not '%1'").arg(parser.value("frames")));
    }
    const QString screenshot = parser.value("screenshot");

    Simulator simulator(options);
    if (!options.truthFile.isEmpty() && !simulator.openTruth(options.truthFile, &error))
        return usageError(error);
    if (!options.replayFile.isEmpty()) {
        std::vector<QByteArray> frames;
        QString remark;
        if (!readReplayFile(options.replayFile, &frames, &error, &remark))
            return toolError(error);
        simulator.setReplayFrames(std::move(frames));
    }
    QString port;
    if (!simulator.openPseudoTerminal(&port, &error))
        return toolError(error);

    console.reset();
    qInstallMessageHandler(nullptr);
    QApplication application(argc, argv);
#ifdef SIGPIPE
    std::signal(
        SIGPIPE, SIG_IGN); // a recording into a pipe that closed is a write error, as in the viewer
#endif
    QCoreApplication::setApplicationName("vazorez-demo");
    std::atomic<bool> stopBoard {false};
    std::atomic<bool> boardDone {false};
    std::thread board([&] {
        simulator.run([&] { return stopBoard.load(); });
        boardDone = true;
    });

    int status = 0;
    {
        MainWindow window;
        LabInstrument lab(&window); // the link's figures in the status bar, as in the viewer
        auto *ports = window.findChild<QComboBox *>("comboBox_PortList");
        ports->insertItem(0, port);
        ports->setCurrentIndex(0);
        window.show();

        int shown = 0;
        bool quitting = false;
        bool pictureTaken = false;
        auto finish = [&] {
            if (quitting)
                return;
            quitting = true;
            pictureTaken = !screenshot.isEmpty();
            if (pictureTaken && !savePicture(window, screenshot))
                status = 1;
            window.close();
        };
        if (QtCharts::QXYSeries *series = frameSeries(window)) {
            QObject::connect(series, &QtCharts::QXYSeries::pointsReplaced, &window, [&] {
                if (framesToShow > 0 && ++shown == framesToShow) {
                    // Stop the board so that frames still queued drain, then let the window paint
                    // the last one before it is photographed.
                    stopBoard = true;
                    QTimer::singleShot(50, &window, finish);
                }
            });
        }
        // A stream that ends by itself (a replay, --count) ends the demo too when it was asked to
        // show more frames than that; the board has waited until the window's port took them all.
        QTimer streamEnd;
        if (framesToShow > 0) {
            QObject::connect(&streamEnd, &QTimer::timeout, &window, [&] {
                if (!boardDone || quitting)
                    return;
                streamEnd.stop();
                QTimer::singleShot(300, &window, [&] {
                    if (!quitting && shown < framesToShow)
                        std::fprintf(stderr, "vazorez-demo: the stream ended after %d of %d frames\n", shown,
                                     framesToShow);
                    finish();
                });
            });
            streamEnd.start(100);
        }
        if (parser.isSet("autoconnect")) {
            auto *button = window.findChild<QPushButton *>("pushButton_Connect");
            QTimer::singleShot(0, button, &QPushButton::click);
        }
        const int loopStatus = application.exec();
        status = status ? status : loopStatus;
        if (!screenshot.isEmpty() && !pictureTaken && !savePicture(window, screenshot))
            status = 1;
    }
    stopBoard = true;
    board.join();
    if (!simulator.truthError().isEmpty()) {
        std::fprintf(stderr, "vazorez-demo: cannot write --truth %s: %s; the board stopped there\n",
            qPrintable(options.truthFile), qPrintable(simulator.truthError()));
        return status != 0 ? status : 1;
    }
    return status;
}
