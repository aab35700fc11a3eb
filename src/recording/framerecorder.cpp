// SPDX-License-Identifier: MIT
#include "framerecorder.h"

#include "framedecoder.h"

#include <QFileInfo>
#include <QMutexLocker>

#include <algorithm>

namespace {

FrameWriter::Format formatFor(const QString &path, const QString &name)
{
    const QString chosen = name.isEmpty() ? QFileInfo(path).suffix().toLower() : name;
    if (chosen == "jsonl" || chosen == "ndjson" || chosen == "json")
        return FrameWriter::Format::Jsonl;
    if (chosen == "raw" || chosen == "bin")
        return FrameWriter::Format::Raw;
    if (chosen == "h5" || chosen == "hdf5")
        return FrameWriter::Format::Hdf5;
    return FrameWriter::Format::Csv;
}

// Gathered writes go to the disk at least this often, so that a full disk shows soon, a board that
// pauses has its frames in the file, and little is at stake if the program is killed.
constexpr auto kFlushEvery = std::chrono::milliseconds(250);
constexpr int kBufferBytes = 64 * 1024;
// What reached the file goes to the disk this often: a power cut loses about that much more than a
// crash of the program does.
constexpr auto kSyncEvery = std::chrono::milliseconds(1000);

} // namespace

FrameRecorder::FrameRecorder(const QString &path, const QString &format)
    : path(path)
    , format(formatFor(path, format))
    , writer(out, this->format)
{
    // Half the period: a frame waits at most that long when no frame follows it.
    flushTimer.setInterval(kFlushEvery / 2);
    QObject::connect(&flushTimer, &QTimer::timeout, &flushTimer, [this] {
        QMutexLocker lock(&mutex);
        if (!running)
            return;
        if (out.bufferedBytes() > 0)
            flushLocked();
        // An h5 file keeps its own second; on a quiet line its frames would wait for the next one.
        if (running && !writer.flushDue())
            failLocked();
        else if (running)
            frames = framesInFile();
        if (running && this->format == FrameWriter::Format::Hdf5)
            flushTimer.start(nextHdf5Check());
    });
}

std::chrono::milliseconds FrameRecorder::nextHdf5Check() const
{
    // An h5 file has no buffer of ours: the timer only hands a quiet line's frames to the file
    // when their second is up. Waking for that moment alone, rather than every eighth of a
    // second, is most of what recording at line rate costs beyond the writing itself. With none
    // waiting, it looks again after a quarter of a second: a frame that comes meanwhile is due at
    // most a second after the last flush, and is never later than that or a quarter of a second.
    const auto due = writer.untilFlushDue();
    if (due < std::chrono::steady_clock::duration::zero())
        return kFlushEvery;
    return std::max(
        std::chrono::milliseconds(1), std::chrono::ceil<std::chrono::milliseconds>(due));
}

FrameRecorder::~FrameRecorder()
{
    QString ignored;
    finish(&ignored);
}

bool FrameRecorder::start(double linkSeconds, QString *whyNot)
{
    QMutexLocker lock(&mutex);
    if (!FrameWriter::openOutput(out, path, format) || !writer.writeHeader() || !out.flush()) {
        *whyNot = QStringLiteral("cannot record to %1: %2").arg(out.description(), outputError());
        out.discard();
        if (QFileInfo(path).isFile()) // a device or a pipe has no "as it was"
            *whyNot += "; " + OutputFile::untouched(path);
        return false;
    }
    out.setBufferSize(kBufferBytes);
    out.syncToDiskEvery(kSyncEvery);
    startSeconds = linkSeconds;
    lastFlush = std::chrono::steady_clock::now();
    running = true;
    flushTimer.start();
    return true;
}

void FrameRecorder::frameDecoded(
    const frame_t &record, const char *frameBytes, int length, double seconds)
{
    QMutexLocker lock(&mutex);
    if (!running)
        return;
    if (!writer.write(
            framesRecorded, std::max(0.0, seconds - startSeconds), record, frameBytes, length)) {
        failLocked();
        return;
    }
    ++framesRecorded;
    out.endUnit();
    frames = framesInFile(); // a full buffer goes to the file by itself
    if (std::chrono::steady_clock::now() - lastFlush >= kFlushEvery)
        flushLocked();
}

void FrameRecorder::flushLocked()
{
    lastFlush = std::chrono::steady_clock::now();
    if (!out.flush())
        failLocked();
    frames = framesInFile();
}

int64_t FrameRecorder::framesInFile() const
{
    const int64_t hdf5 = writer.framesFlushed();
    return hdf5 >= 0 ? hdf5 : out.unitsInFile();
}

void FrameRecorder::failLocked()
{
    // The file keeps the frames that reached it whole, and `frames` counts them.
    error = writer.errorString().isEmpty() ? out.errorString() : writer.errorString();
    frames = framesInFile();
    running = false;
}

bool FrameRecorder::finish(QString *whyNot)
{
    QMutexLocker lock(&mutex);
    flushTimer.stop();
    if (running && out.isOpen() && out.bufferedBytes() > 0)
        flushLocked();
    running = false;
    if (!out.isOpen())
        return true; // never started, or finished already
    if (framesRecorded == 0 && error.isEmpty() && !keepsEmpty) {
        // Nothing arrived: an empty recording does not replace what the file held.
        out.discard();
        return true;
    }
    // After a write error what reached the file whole before it is kept; when no frame did, the
    // file under that name stays as it was rather than become an empty recording.
    const bool keptInFile = out.replacesFile();
    if (!error.isEmpty() && keptInFile && framesInFile() == 0) {
        out.discard();
        frames = 0;
        *whyNot = QStringLiteral("%1; no frame reached the file, %2").arg(error, OutputFile::untouched(path));
        return false;
    }
    if (!out.commitWhatWasWritten()) {
        *whyNot = error.isEmpty() ? out.errorString() : error;
        frames = 0;
        out.discard();
        return false;
    }
    frames = framesInFile(); // an h5 file has its last frames once closed
    if (!error.isEmpty()) {
        // An h5 file says itself, once closed, how many frames it kept.
        *whyNot = writer.errorString().isEmpty() ? error : writer.errorString();
        if (format != FrameWriter::Format::Hdf5 && keptInFile)
            *whyNot += QStringLiteral("; the file keeps the %1 frames written before").arg(frames);
        return false;
    }
    return true;
}

QString FrameRecorder::outputError() const
{
    return writer.errorString().isEmpty() ? out.errorString() : writer.errorString();
}

void FrameRecorder::abandon()
{
    QMutexLocker lock(&mutex);
    flushTimer.stop();
    running = false;
    out.discard();
}

void FrameRecorder::statusPublished()
{
    QMutexLocker lock(&mutex);
    recordedAtLinkStatus = framesRecorded;
}

FrameRecorder::Status FrameRecorder::status() const
{
    QMutexLocker lock(&mutex);
    return Status{path, frames, std::min(frames, recordedAtLinkStatus), error};
}

bool FrameRecorder::writeOneFrame(const QString &path, const frame_t &record,
    const QByteArray &bytes, int64_t index, double seconds, QString *whyNot)
{
    // The bytes must be the shown frame's own: the csv's spectrum column is read from them.
    FrameDecoder decoder;
    frame_t check;
    if (bytes.isEmpty()
        || decoder.decodeFrame(bytes.constData(), bytes.size(), check) != FrameDecoder::Decoded
        || check.modulation != record.modulation || check.i_samples != record.i_samples
        || check.q_samples != record.q_samples) {
        *whyNot = QStringLiteral("the shown frame's own bytes are not at hand");
        return false;
    }
    OutputFile file;
    FrameWriter csv(file, FrameWriter::Format::Csv);
    if (!file.open(path) || !csv.writeHeader()
        || !csv.write(index, seconds, record, bytes.constData(), bytes.size()) || !file.commit()) {
        *whyNot = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}
