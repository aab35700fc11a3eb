// SPDX-License-Identifier: MIT
#include "labinstrument.h"
#include "mainwindow.h"
#include "networklink.h"
#include "radarviewopening.h"
#include "stopsignals.h"
#include "vieweroptions.h"

#include <QApplication>
#include <QMessageBox>
#include <QStatusBar>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName("vazorez-gui");
    QCoreApplication::setApplicationVersion(VAZOREZ_VERSION);
    if (const auto exitCode = answerWithoutWindow(argc, argv))
        return *exitCode;

#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // Without a display Qt would abort with its own message and a core dump.
    bool platformGiven = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    for (int k = 1; k < argc; ++k)
        platformGiven = platformGiven || qstrcmp(argv[k], "-platform") == 0;
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && !platformGiven) {
        std::fprintf(stderr,
            "vazorez-gui: no display to show the window on (DISPLAY is not set); "
            "run it in a desktop session, or under xvfb-run to try it\n");
        return 1;
    }
#endif
    QApplication application(argc, argv);
#ifdef SIGPIPE
    // A recording into a pipe whose reader left is a write error that ends the recording, said
    // in the status bar; the signal would end the viewer, window and all.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // Options are checked before a window opens: a mistyped one ends the viewer as it ends a tool.
    QStringList problems;
    const ViewerOptions options = readViewerOptions(QCoreApplication::arguments(), &problems);
    for (const QString &problem : problems)
        std::fprintf(stderr, "vazorez-gui: %s (see --help)\n", qPrintable(problem));
    if (!problems.isEmpty())
        return 2;
    // Ctrl-C or a termination request closes the window as its close button does, so that a
    // recording ends on a whole frame under its own name; a second one ends the program at once,
    // but not before the recording's file is whole. The signals are caught until then.
    StopSignals stopSignals;
    // The window, and with it the serial worker and its thread, goes before the application.
    auto windowOwner = std::make_unique<MainWindow>();
    MainWindow &window = *windowOwner;
    // What the viewer offers around the described window; it goes with the window.
    LabInstrument &lab = *new LabInstrument(&window);
    window.show();
    QString problem;
    const auto closeWindow = [&window] {
        // A box waiting for an answer (a port that would not open) must not hold the close up.
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
        window.close();
    };
    // Two signals in a row (a terminal closing sends one to each process of its group, a script
    // may send two) must not end the program between the first and a whole recording.
    stopSignals.holdFromFirstSignal();
    if (!stopSignals.install(closeWindow, &problem, QStringLiteral("closing the window")))
        std::fprintf(stderr, "vazorez-gui: %s\n", qPrintable(problem));
    // A network port's open waits for its server for seconds: a stop ends that wait at once.
    NetworkLink::abandonOpensWhen([] { return StopSignals::caught(); });

    // What the options ask for; a request that cannot be met is said on standard error and in the
    // status bar, and the viewer starts all the same.
    // The history first: it sees frames from the moment it is shown, and a replay at full speed
    // may be over before the next line runs.
    if (options.history)
        lab.showSpectrumHistory();
    auto report = [&lab](const QString &problem) {
        std::fprintf(stderr, "vazorez-gui: %s\n", qPrintable(problem));
        lab.warn(problem);
    };
    if (options.radarView)
        openRadarView(lab, options.radar, report);
    if (!options.port.isEmpty())
        window.addPort(options.port);
    // Bound before any link opens, so that its first frame goes out too; a socket that cannot be
    // bound is said, and the viewer runs without publishing.
    if (!options.publish.isEmpty())
        lab.startPublishing(options.publish, &problem);
    lab.setRecordingNote(options.note);
    QString recordingProblem;
    if (!options.record.isEmpty()
        && !lab.startRecording(options.record, options.format, &recordingProblem))
        report(recordingProblem);
    QTimer::singleShot(0, &window, [&window, &lab, &options, &recordingProblem, report] {
        // A recording that cannot start is said in a box too, before any link opens: a viewer
        // started from the desktop has no standard error anyone reads.
        if (!recordingProblem.isEmpty()) {
            QMessageBox box(QMessageBox::Warning, "Recording not started", recordingProblem,
                QMessageBox::Ok, &window);
            box.setInformativeText(
                "The viewer runs without recording; the charts' menu (right click) starts one.");
            box.exec();
            if (!window.isVisible())
                return; // closed meanwhile, by Ctrl-C or SIGTERM
        }
        QString problem;
        if (!options.replay.isEmpty()
            && !lab.startReplay(options.replay, options.rate, options.loop, &problem))
            report(problem);
        if (options.connect)
            window.connectSelected();
    });
    const int exitCode = application.exec();
    stopSignals.hold();
    windowOwner.reset();
    stopSignals.release();
    return exitCode;
}
