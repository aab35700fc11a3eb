// SPDX-License-Identifier: MIT
// Records every frame of a link while the viewer shows it: a tap on the serial worker, so that it
// runs beside the decoder and a slow screen never costs a recorded frame. Same formats and the same
// file rule as vazorez-capture: the file takes its name, ending on a whole frame, when the
// recording ends; a recording that fails to start destroys nothing. What it counts is what the
// file holds: frames reach the file at most a quarter of a second after they were decoded, also
// when the board pauses, and after a write error the count is that of the whole frames kept.
// vazorez-capture records through it too, with no link: it hands each frame to frameDecoded().
#pragma once

#include "framewriter.h"
#include "outputfile.h"
#include "serialport.h"

#include <QMutex>
#include <QString>
#include <QTimer>

#include <chrono>

class FrameRecorder : public FrameTap {
public:
    struct Status {
        QString path;
        int64_t frames = 0; // whole in the file
        // Whole in the file, of the frames the link's figures had counted when they were last
        // published: what the status bar puts beside them (never a frame they do not count yet).
        int64_t framesAtLinkStatus = 0;
        QString error; // why it stopped by itself (a full disk, a removed drive)
    };

    // `format` is csv, jsonl, raw or h5; empty: from the file's extension (.jsonl/.ndjson/.json,
    // .raw/.bin, .h5/.hdf5), else csv. Made and ended on a thread with an event loop, which hands
    // the frames of a quiet line to the file.
    FrameRecorder(const QString &path, const QString &format);
    ~FrameRecorder() override;
    // The session an h5 recording describes (port, note, radar profile); before start().
    void setContext(const RecordingContext &session) { writer.setContext(session); }

    // A recording that got no frame still becomes the file (a csv header, an h5 file of no
    // frames), as a script that asked for it expects; the viewer's leaves the file alone instead.
    void setKeepsEmptyRecording(bool keep) { keepsEmpty = keep; }

    // Creates the output; times in it count from `linkSeconds` (0 for a replay: its frames keep
    // their time in the file). False with *error set when the file cannot be created.
    bool start(double linkSeconds, QString *error);
    // Ends the recording: the file takes its name. False with *error when it cannot be made whole.
    // Call it once the recorder is no longer a tap.
    bool finish(QString *error);
    // Throws away what was recorded: the link it was meant for never opened.
    void abandon();
    Status status() const;
    // The output for messages ("standard output" for "" or "-") and the file written until the
    // recording ends.
    QString description() const { return out.description(); }
    QString writingPath() const { return out.writingPath(); }
    // Written under a temporary name that replaces a file (not a device or a pipe); until finish().
    bool replacesFile() const { return out.replacesFile(); }
    // Why the output could not be created or written, in the system's words.
    QString outputError() const;

    void frameDecoded(
        const frame_t &record, const char *frameBytes, int length, double seconds) override;
    void statusPublished() override;

    // Writes one frame as a csv file with the capture's columns (the shown frame, saved), under its
    // own index and time in its link.
    static bool writeOneFrame(const QString &path, const frame_t &record, const QByteArray &bytes,
        int64_t index, double seconds, QString *error);

private:
    // Hands the gathered frames to the file; under the lock.
    void flushLocked();
    void failLocked();
    // Whole frames in the file: an h5 file's flushed ones, else the output file's whole units.
    int64_t framesInFile() const;
    // When the timer looks at an h5 file next; under the lock.
    std::chrono::milliseconds nextHdf5Check() const;

    mutable QMutex mutex;
    QString path;
    FrameWriter::Format format;
    OutputFile out;
    FrameWriter writer;
    double startSeconds = 0;
    int64_t frames = 0; // whole in the file
    int64_t framesRecorded = 0; // given to the writer
    int64_t recordedAtLinkStatus = 0; // framesRecorded when the link's figures were published
    bool running = false;
    bool keepsEmpty = false;
    QString error;
    std::chrono::steady_clock::time_point lastFlush;
    QTimer flushTimer;
};
