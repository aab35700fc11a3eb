// SPDX-License-Identifier: MIT
#include "labinstrument.h"

#include "chartmenu.h"
#include "displaypause.h"
#include "failurebox.h"
#include "framerecorder.h"
#include "mainwindow.h"
#include "publishcontrol.h"
#include "recordingcontrol.h"
#include "replaybar.h"
#include "replaycontrol.h"
#include "statusreport.h"
#include "viewsbeside.h"

#include <QCoreApplication>
#include <QStatusBar>

#include <cstdio>

LabInstrument::LabInstrument(MainWindow *window)
    : QObject(window)
    , window(window)
    , statusReport(new StatusReport(window->statusBar()))
    , recording(new RecordingControl(window))
    , publishing(new PublishControl(window))
    , replays(new ReplayControl(window))
    , pause(new DisplayPause(window))
    , views(new ViewsBeside(window))
{
    // Its parts go with it; until then each holds its own hooks in the window.
    for (QObject *part : std::initializer_list<QObject *>{
             statusReport, recording, publishing, replays, pause, views})
        part->setParent(this);
    // The link's figures four times a second while they change; once a second while they stand
    // still (the rate still falls to 0, a line of junk still drops bytes), and four times again
    // from the next frame on.
    statusTimer.setInterval(kStatusMs);
    connect(&statusTimer, &QTimer::timeout, this, [this] {
        const QString before = statusReport->linkLine();
        showLinkStatus();
        statusTimer.setInterval(statusReport->linkLine() == before ? kIdleStatusMs : kStatusMs);
    });
    recording->setProfileSource([this] { return views->radarProfileJson(); });
    publishing->setProfileSource([this] { return views->radarProfileJson(); });

    connect(window, &MainWindow::signalUserActed, this, &LabInstrument::userActed);
    connect(window, &MainWindow::signalFrameArrived, this, [this] {
        if (statusTimer.isActive() && statusTimer.interval() != kStatusMs)
            statusTimer.start(kStatusMs);
    });
    connect(window, &MainWindow::signalLinkOpening, recording, &RecordingControl::prepare);
    connect(window, &MainWindow::signalLinkRefused, recording, &RecordingControl::abandon);
    connect(window, &MainWindow::signalLinkOpened, this, &LabInstrument::linkOpened);
    connect(window, &MainWindow::signalLinkEnded, this, &LabInstrument::linkEnded);
    connect(window, &MainWindow::signalClosingDown, this, &LabInstrument::letGo);
    connect(recording, &RecordingControl::problem, this, &LabInstrument::warn);
    connect(replays, &ReplayControl::problem, this, &LabInstrument::warn);
    connect(pause, &DisplayPause::pausedChanged, this, [this](bool paused) {
        views->setPaused(paused);
        if (!this->window->openLinkName().isEmpty())
            showLinkStatus();
        emit displayPausedChanged(paused);
    });
    menu = new ChartMenu(window, this);
    (new FailureBox(window))->setParent(this);
}

LabInstrument::~LabInstrument()
{
    letGo();
}

void LabInstrument::letGo()
{
    if (!window)
        return;
    MainWindow *const going = window;
    window = nullptr;
    statusTimer.stop();
    // The link ends as on "disconnect": what the worker has read is decoded and reaches the
    // recorder and the views before they let go. The recording then ends whole.
    disconnect(going, nullptr, this, nullptr);
    going->closeLink(); // a replay's bar goes with its link

    recording->end();
    publishing->stop(); // the subscribers hear the link closed, then the publisher stopped
    views->closeAll();
    going->setOpener({});
    going->setFrameGate({});
}

void LabInstrument::linkOpened()
{
    recording->forgetLastNote();
    statusReport->clearReport();
    statusLine = StatusLine();
    showLinkStatus();
    statusTimer.start(kStatusMs);
}

void LabInstrument::linkEnded(const QString &message, bool problem, const QString &detail)
{
    // The link's recording ends with it, whole; a new link does not write over it. The link's last
    // figures stay in the status bar until the next link opens. What the recording saved is said
    // with how the link ended: the link's line lies under the message.
    const bool recorded = recording->end();
    showLinkStatus();
    statusTimer.stop();
    const bool recordingFailed = recording->lastFailed();
    QStringList parts;
    for (const QString &part :
        {message, recorded || recordingFailed ? recording->lastNote() : QString()})
        if (!part.isEmpty())
            parts.append(part);
    if (problem || recordingFailed)
        statusReport->problem(parts.join("; "), detail);
    else if (!parts.isEmpty())
        statusReport->report(parts.join("; "));
}

void LabInstrument::showLinkStatus()
{
    if (!window)
        return;
    StatusLine::Extras extras;
    extras.paused = pause->isPaused();
    extras.arrivedWhilePaused = pause->arrivedWhilePaused();
    if (const FrameRecorder *running = recording->running()) {
        const FrameRecorder::Status status = running->status();
        if (!status.error.isEmpty()) {
            // A full disk or a pulled drive ends the recording; viewing goes on.
            recording->end();
            statusReport->problem(recording->lastNote());
        } else {
            extras.recordingPath = status.path;
            // Read before the link's figures: of the same moment or an earlier one, never a later.
            extras.recordedFrames = status.framesAtLinkStatus;
        }
    }
    extras.note = recording->lastNote();
    const LinkStatus status = window->link()->status();
    publishing->refresh(status);
    extras.publishEndpoint = publishing->endpoint();
    extras.unsentFrames = publishing->unsent();
    statusReport->showLink(statusLine.describe(status, extras));
}

bool LabInstrument::startReplay(const QString &path, const QString &rate, bool loop, QString *error)
{
    return replays->start(path, rate, loop, error);
}

ReplayBar *LabInstrument::replayBar() const
{
    return replays->bar();
}

bool LabInstrument::startRecording(const QString &path, const QString &format, QString *error)
{
    stopRecording();
    if (!recording->start(path, format, error))
        return false;
    if (window && !window->openLinkName().isEmpty())
        showLinkStatus();
    return true;
}

void LabInstrument::setRecordingNote(const QString &note)
{
    recording->setNote(note);
}

QString LabInstrument::recordingNote() const
{
    return recording->note();
}

void LabInstrument::stopRecording()
{
    if (!recording->end())
        return;
    if (window && !window->openLinkName().isEmpty())
        showLinkStatus();
    if (recording->lastFailed())
        statusReport->problem(recording->lastNote());
    else
        statusReport->report(recording->lastNote());
}

bool LabInstrument::isRecording() const
{
    return recording->isWanted();
}

bool LabInstrument::startPublishing(const QString &endpoint, QString *error)
{
    if (!publishing->start(endpoint, error)) {
        // Said on standard error too: whoever waits for the stream may not be looking at the
        // window.
        std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
            qPrintable(*error));
        warn(*error);
        return false;
    }
    if (window && !window->openLinkName().isEmpty())
        showLinkStatus();
    tell(QStringLiteral("Publishing on %1").arg(publishing->endpoint()));
    return true;
}

void LabInstrument::stopPublishing()
{
    const QString endpoint = publishing->endpoint();
    const uint64_t published = publishing->published();
    const uint64_t unsent = publishing->unsent();
    if (!publishing->stop())
        return;
    if (window && !window->openLinkName().isEmpty())
        showLinkStatus();
    tell(QStringLiteral("Stopped publishing on %1 after %2 frames%3")
             .arg(endpoint)
             .arg(published)
             .arg(unsent > 0 ? QStringLiteral(", %1 of them not sent").arg(unsent) : QString()));
}

QString LabInstrument::publishingEndpoint() const
{
    return publishing->endpoint();
}

void LabInstrument::setDisplayPaused(bool paused)
{
    pause->setPaused(paused);
}

bool LabInstrument::isDisplayPaused() const
{
    return pause->isPaused();
}

void LabInstrument::showSpectrumHistory()
{
    views->showSpectrumHistory();
}

RadarViewWindow *LabInstrument::showRadarView()
{
    return views->showRadarView();
}

bool LabInstrument::savePicture(const QString &path, QWidget *what, QString *error)
{
    return ChartMenu::savePicture(path, what, error);
}

bool LabInstrument::saveShownFrame(const QString &path, QString *error)
{
    return pause->saveShownFrame(path, error);
}

bool LabInstrument::hasShownFrame() const
{
    return pause->hasShownFrame();
}

void LabInstrument::tell(const QString &message)
{
    statusReport->report(message);
}

void LabInstrument::warn(const QString &problem)
{
    statusReport->problem(problem);
}

void LabInstrument::userActed()
{
    statusReport->clearProblem();
}
