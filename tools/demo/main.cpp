// SPDX-License-Identifier: MIT
// vazorez-demo: the viewer's window, unchanged, with a simulated board behind a pseudo-terminal.
#include "mainwindow.h"
#include "simulator.h"
#include "toolcli.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QPushButton>
#include <QTimer>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>

#include <atomic>
#include <cstdio>
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

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QCoreApplication::setApplicationName("vazorez-demo");

    QCommandLineParser parser;
    parser.setApplicationDescription("The VazoRez viewer with a simulated board: click \"connect\".");
    parser.addHelpOption();
    parser.addOptions({
        {"autoconnect", "Connect at once."},
        {"frames", "Quit with exit code 0 after N frames have been shown.", "N"},
        {"screenshot", "Write a PNG of the window before quitting.", "FILE"},
    });
    addSimulatorOptions(parser, false);
    if (const auto exitCode = parseArguments(parser))
        return *exitCode;
    SimulatorOptions options;
    QString error;
    if (!readSimulatorOptions(parser, options, &error))
        return usageError(error);
    int framesToShow = -1;
    if (parser.isSet("frames")) {
        bool ok = false;
        framesToShow = parser.value("frames").toInt(&ok);
        if (!ok || framesToShow < 1)
            return usageError(QStringLiteral("--frames wants a positive number, not '%1'").arg(parser.value("frames")));
    }
    const QString screenshot = parser.value("screenshot");

    Simulator simulator(options);
    QString port;
    if ((!options.replayFile.isEmpty() && !simulator.loadReplay(&error))
        || !simulator.openPseudoTerminal(&port, &error)) {
        std::fprintf(stderr, "vazorez-demo: %s\n", qPrintable(error));
        return 1;
    }
    std::atomic<bool> stopBoard {false};
    std::thread board([&] { simulator.run([&] { return stopBoard.load(); }); });

    int status = 0;
    {
        MainWindow window;
        auto *ports = window.findChild<QComboBox *>("comboBox_PortList");
        ports->insertItem(0, port);
        ports->setCurrentIndex(0);
        window.show();

        int shown = 0;
        bool quitting = false;
        auto finish = [&] {
            if (quitting)
                return;
            quitting = true;
            if (!screenshot.isEmpty() && !window.grab().save(screenshot)) {
                std::fprintf(stderr, "vazorez-demo: cannot write %s\n", qPrintable(screenshot));
                status = 1;
            }
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
        if (parser.isSet("autoconnect")) {
            auto *button = window.findChild<QPushButton *>("pushButton_Connect");
            QTimer::singleShot(0, button, &QPushButton::click);
        }
        const int loopStatus = application.exec();
        status = status ? status : loopStatus;
    }
    stopBoard = true;
    board.join();
    return status;
}
