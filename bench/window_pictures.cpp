// SPDX-License-Identifier: MIT
// Pictures of the window over the same frames, to compare two builds pixel by pixel: a simulated
// board's frames (CW, FMCW or alternating, fixed seed) go to the window one by one as the link
// would bring them, and after each the window's picture as the screen holds it (what the partial
// repaints left there, not a fresh rendering) is written as OUT/frame-NNN.png; half-way the
// window grows by a few pixels. Also counts the charts' repaints per frame. Runs offscreen.
// Usage: window_pictures OUT [--mode cw|fmcw|alternate] [--frames N] [--samples N]
#include "boardmodel.h"
#include "framesupport.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QWindow>
#include <QtCharts/QChartView>

#include <cstdio>

namespace {

class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addPositionalArgument("OUT", "Folder for the pictures.");
    parser.addOptions({
        {"mode", "cw, fmcw or alternate (default alternate).", "MODE", "alternate"},
        {"frames", "Frames to show (default 40).", "N", "40"},
        {"samples", "Samples per frame (default 128).", "N", "128"},
    });
    parser.process(application);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);
    const QString out = parser.positionalArguments().first();
    const QString modeName = parser.value("mode");
    bool framesOk = false, samplesOk = false;
    const int frames = parser.value("frames").toInt(&framesOk);
    const int samples = parser.value("samples").toInt(&samplesOk);
    if (!QStringList{"cw", "fmcw", "alternate"}.contains(modeName) || !framesOk || frames < 1 || frames > 1000
        || !samplesOk || samples < 1 || samples > 255) {
        std::fprintf(stderr,
            "window_pictures: --mode is cw, fmcw or alternate, --frames 1 to 1000, --samples 1 to 255 "
            "(see --help)\n");
        return 2;
    }
    const SimMode mode = modeName == "cw" ? SimMode::Cw : modeName == "fmcw" ? SimMode::Fmcw : SimMode::Alternate;
    // Pictures of an earlier run would be compared as this run's.
    QDir folder(out);
    if (!QDir().mkpath(out)) {
        std::fprintf(stderr, "window_pictures: cannot make the folder %s\n", qPrintable(out));
        return 1;
    }
    for (const QString &old : folder.entryList({"frame-*.png"}, QDir::Files))
        folder.remove(old);

    MainWindow window;
    window.resize(900, 700);
    window.show();
    PaintCounter counter;
    for (QtCharts::QChartView *view : window.chartViews())
        view->viewport()->installEventFilter(&counter);
    QApplication::processEvents();

    BoardModel board(mode, samples, 7);
    QScreen *screen = window.windowHandle()->screen();
    for (int index = 0; index < frames; ++index) {
        if (index == frames / 2)
            window.resize(window.size() + QSize(37, 23)); // the charts laid out afresh mid-way
        window.showFrame(expectedRecord(board.frame(index)), FrameIdentity{});
        // As between two frames of the line: everything posted is handled, the window painted.
        for (int turn = 0; turn < 5; ++turn)
            QApplication::processEvents();
        const QImage picture = screen->grabWindow(window.winId()).toImage();
        if (!picture.save(QStringLiteral("%1/frame-%2.png").arg(out).arg(index, 3, 10, QLatin1Char('0')))) {
            std::fprintf(stderr, "window_pictures: cannot write into %s\n", qPrintable(out));
            return 1;
        }
    }
    // Two a frame is one repaint of each chart; the first show and the resize add theirs.
    std::printf("%d frames, %d chart repaints (%.2f a frame; one a chart is 2)\n", frames, counter.paints,
        double(counter.paints) / frames);
    return 0;
}
