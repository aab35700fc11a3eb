// SPDX-License-Identifier: MIT
// Recording while watching: every frame of the window's link goes to a file (csv, jsonl, raw or h5)
// from the moment the recording starts, or from the first frame of the next link when none is
// open. The recording ends with its link, on a write error, or when it is stopped, always whole;
// how it ended is kept for the status bar. A radar profile in force at the start travels with the
// recording: in an h5 file's session, and in a file beside any recording that kept frames.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class FrameRecorder;
class MainWindow;

class RecordingControl : public QObject {
    Q_OBJECT

public:
    explicit RecordingControl(MainWindow *window);
    ~RecordingControl() override;

    // Records to `path` (`format` empty: from the extension): at once when a link is open, else
    // from the next link's first frame; whether the file can be written is known now. False with
    // *error when it cannot start. A recording that runs must be ended first.
    bool start(const QString &path, const QString &format, QString *error);
    // A link is about to open: a recording waiting for one listens from its first frame.
    void prepare();
    // The link would not open: a recording waiting for it goes; the next link may have it.
    void abandon();
    // Ends the recording, if one runs, whole; lastNote() then says how it ended, as does standard
    // error. False when none ran.
    bool end();
    // Running, or waiting for the next link.
    bool isWanted() const { return recorder != nullptr || !path.isEmpty(); }
    const FrameRecorder *running() const { return recorder.get(); }

    // Words kept with the recordings that start from now on (an h5 file's note attribute).
    void setNote(const QString &note) { userNote = note; }
    QString note() const { return userNote; }
    // The radar profile in force, as JSON (empty: none), asked when a recording starts.
    void setProfileSource(std::function<QByteArray()> source) { profileSource = std::move(source); }

    // How the last recording ended ("rec1.h5: 12 frames saved"), and whether that was a failure.
    QString lastNote() const { return endNote; }
    bool lastFailed() const { return failed; }
    void forgetLastNote();

signals:
    // A waiting recording could not start when its link opened.
    void problem(const QString &message);

private:
    bool begin(double linkSeconds, QString *error);

    MainWindow *window;
    QString path; // asked for; empty when no recording is wanted
    QString format;
    QString userNote;
    std::function<QByteArray()> profileSource;
    QByteArray profileJson; // the profile in force when the running recording started
    std::unique_ptr<FrameRecorder> recorder;
    // A pipe or a device opened when the recording was asked for, before any link: it is the
    // recorder of the next link.
    std::unique_ptr<FrameRecorder> waiting;
    QString endNote;
    bool failed = false;
};
