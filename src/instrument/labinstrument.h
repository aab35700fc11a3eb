// SPDX-License-Identifier: MIT
// The instrument around the main window: everything the viewer offers beyond the described window,
// attached to it through its hooks. While a link is open the status bar gives its account (rates,
// counts, a replay's place, the pause, the recording, the publishing); replays, recording, live
// publishing, the pause, the charts' menu and the views beside the window each live in a class of
// their own, joined here. Made as a child of the window; it lets go of the link before the window
// closes it.
#pragma once

#include "statusline.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

class ChartMenu;
class DisplayPause;
class MainWindow;
class PublishControl;
class RadarViewWindow;
class RecordingControl;
class ReplayBar;
class ReplayControl;
class StatusReport;
class ViewsBeside;

class LabInstrument : public QObject {
    Q_OBJECT

public:
    explicit LabInstrument(MainWindow *window);
    ~LabInstrument() override;

    // Plays a raw capture, a line dump or a recording in the window, at the line's pace ("line"),
    // at a number of frames a second, or as fast as it is taken ("max"). False with *error set when
    // the file cannot be played; the window is then as before.
    bool startReplay(const QString &path, const QString &rate, bool loop, QString *error);
    ReplayBar *replayBar() const;
    // Records every frame of the open link to `path` (csv, jsonl, raw or h5; `format` empty: from
    // the extension), or of the next link to open. False with *error when it cannot start.
    bool startRecording(const QString &path, const QString &format, QString *error);
    // Words kept with the recordings that start from now on (an h5 file's note attribute).
    void setRecordingNote(const QString &note);
    QString recordingNote() const;
    void stopRecording();
    // Recording, or waiting for the next link to record it.
    bool isRecording() const;
    // Publishes every frame of the window's links on `endpoint` (tcp://HOST:PORT or ipc://PATH)
    // for the user's own programs, from now on. A socket that cannot be bound is said in the status
    // bar and on standard error, and the viewer goes on without publishing: false with *error.
    bool startPublishing(const QString &endpoint, QString *error);
    void stopPublishing();
    // What the stream is published on; empty when it is not.
    QString publishingEndpoint() const;
    void setDisplayPaused(bool paused);
    bool isDisplayPaused() const;
    // Opens the spectrum history beside the window; it takes every frame the worker decodes.
    void showSpectrumHistory();
    // Opens the radar view beside the window (null where it is not built).
    RadarViewWindow *showRadarView();
    // Writes the window, or one chart, as PNG.
    static bool savePicture(const QString &path, QWidget *what, QString *error);
    // Writes the frame on the charts as csv, with the capture's columns.
    bool saveShownFrame(const QString &path, QString *error);
    bool hasShownFrame() const;
    // Says something in the status bar for a few seconds, over the link's figures.
    void tell(const QString &message);
    // Says what went wrong in the status bar, until the user's next action.
    void warn(const QString &problem);
    // The user acts: a problem on show has been read.
    void userActed();

signals:
    void displayPausedChanged(bool paused);

private:
    void linkOpened();
    void linkEnded(const QString &message, bool problem, const QString &detail);
    void showLinkStatus();
    // The window goes: the link ends, the recording with it, whole, and the views close.
    void letGo();

    QPointer<MainWindow> window;
    StatusLine statusLine;
    StatusReport *statusReport;
    static constexpr int kStatusMs = 250;
    static constexpr int kIdleStatusMs = 1000;
    QTimer statusTimer;
    RecordingControl *recording;
    PublishControl *publishing;
    ReplayControl *replays;
    DisplayPause *pause;
    ViewsBeside *views;
    ChartMenu *menu;
};
