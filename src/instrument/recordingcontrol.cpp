// SPDX-License-Identifier: MIT
#include "recordingcontrol.h"

#include "framerecorder.h"
#include "mainwindow.h"
#include "serialport.h"

#ifdef VAZOREZ_RADAR_VIEW
#include "profilefile.h"
#endif

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <cstdio>

RecordingControl::RecordingControl(MainWindow *window)
    : QObject(window)
    , window(window)
{
}

RecordingControl::~RecordingControl() = default;

bool RecordingControl::start(const QString &to, const QString &as, QString *error)
{
    path = to;
    format = as;
    forgetLastNote();
    if (window->openLinkName().isEmpty()) {
        // It starts with the next link; whether the file can be written is known now.
        auto trial = std::make_unique<FrameRecorder>(path, format);
        if (!trial->start(0.0, error)) {
            path.clear();
            return false;
        }
        if (trial->replacesFile()) {
            trial->abandon();
            return true;
        }
        // A pipe or a device is opened once: its reader would take a close for the recording's
        // end, and a FIFO opened again may wait for a reader that has gone. It waits for the link.
        waiting = std::move(trial);
        return true;
    }
    // A replay's frames keep their time in the file; a port's count from the recording's start.
    const LinkStatus link = window->link()->status();
    return begin(link.replay ? 0.0 : link.seconds, error);
}

void RecordingControl::prepare()
{
    // The recorder listens before the link opens, so that it has the link's first frame too.
    if (path.isEmpty() || recorder)
        return;
    if (waiting) {
        recorder = std::move(waiting);
        window->link()->addTap(recorder.get());
        return;
    }
    QString error;
    if (!begin(0.0, &error))
        emit problem(error);
}

bool RecordingControl::begin(double linkSeconds, QString *error)
{
    auto starting = std::make_unique<FrameRecorder>(path, format);
    RecordingContext session;
    // Before a link opens (a recording waiting for it) the port or file about to open is selected.
    session.source
        = window->openLinkName().isEmpty() ? window->selectedPort() : window->openLinkName();
    session.note = userNote;
    profileJson = profileSource ? profileSource() : QByteArray();
    session.radarProfileJson = QString::fromUtf8(profileJson);
    starting->setContext(session);
    if (!starting->start(linkSeconds, error)) {
        path.clear();
        return false;
    }
    recorder = std::move(starting);
    window->link()->addTap(recorder.get());
    return true;
}

void RecordingControl::abandon()
{
    if (!recorder)
        return;
    window->link()->removeTap(recorder.get());
    recorder->abandon();
    recorder.reset();
}

bool RecordingControl::end()
{
    const QString asked = path;
    path.clear();
    waiting.reset();
    if (!recorder)
        return false;
    window->link()->removeTap(recorder.get());
    // A device or a pipe has nothing beside it: a profile goes only beside a file.
    const bool toFile = recorder->replacesFile();
    // The count is taken once the last frames are in the file: it is what the file holds.
    QString error;
    const bool whole = recorder->finish(&error);
    const FrameRecorder::Status done = recorder->status();
    recorder.reset();
    // Failed unless it ended whole with frames, or had none to keep.
    failed = !done.error.isEmpty() || !whole;
    if (!done.error.isEmpty())
        endNote = QStringLiteral("recording to %1 stopped after %2 frames: %3")
                      .arg(done.path)
                      .arg(done.frames)
                      .arg(error.isEmpty() ? done.error : error);
    else if (!whole)
        endNote = QStringLiteral("recording to %1 failed: %2").arg(done.path, error);
    else if (done.frames == 0) // an empty recording does not replace what the file held
        endNote = QStringLiteral("nothing recorded: no frame arrived, %1")
                      .arg(OutputFile::untouched(done.path));
    else // under the name the user gave, which is how they will look for it
        endNote = QStringLiteral("%1: %2 frames saved").arg(asked).arg(done.frames);
#ifdef VAZOREZ_RADAR_VIEW
    // The profile goes beside a file that holds frames of this recording, and only then: an
    // empty recording leaves the file, and what lay beside it, as they were. A profile beside the
    // file this recording replaced described the older recording.
    if (toFile && profileJson.isEmpty() && done.frames > 0 && QFile::exists(radarSidecarPath(asked))
        && !QFile::remove(radarSidecarPath(asked))) {
        endNote
            += QStringLiteral("; %1 describes the recording it replaced and could not be removed")
                   .arg(radarSidecarPath(asked));
        failed = true;
    }
    if (toFile && !profileJson.isEmpty() && done.frames > 0) {
        QSaveFile beside(radarSidecarPath(asked));
        if (!beside.open(QIODevice::WriteOnly) || beside.write(profileJson) != profileJson.size()
            || !beside.commit()) {
            endNote += QStringLiteral("; the radar profile could not be written beside it (%1: %2)")
                           .arg(beside.fileName(), beside.errorString());
            failed = true;
        }
    }
#else
    Q_UNUSED(asked)
    Q_UNUSED(toFile)
#endif
    profileJson.clear();
    // Said on standard error too, however it ended: a recording that ends with the window has no
    // status bar left to say it in.
    std::fprintf(
        stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(endNote));
    return true;
}

void RecordingControl::forgetLastNote()
{
    endNote.clear();
    failed = false;
}
