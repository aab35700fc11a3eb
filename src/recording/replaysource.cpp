// SPDX-License-Identifier: MIT
#include "replaysource.h"

#include "framedecoder.h"
#include "framereceiver.h"
#include "linesettings.h"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace {

// How often a paced replay hands bytes over: as often as a USB serial adapter would.
constexpr int kTickMs = 10;
// The longest wait between two reads: a slow pace waits in steps, not in one timer of days.
constexpr double kLongestWaitMs = 1000;

// The counting pass would repeat every "error parsing data" that the replay itself will log. It
// runs on the worker's thread while the window's thread may log: both read the handler it passes
// lines on to.
std::atomic<QtMessageHandler> passedOn {nullptr};
void dropDebugLines(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QtMessageHandler next = passedOn.load();
    if (type != QtDebugMsg && next)
        next(type, context, message);
}

} // namespace

ReplaySource::ReplaySource(const QString &path, Rate rate, double framesPerSecond, bool loop)
    : path(path)
    , rate(rate)
    , framesPerSecond(framesPerSecond)
    , loop(loop)
    , file(path)
{
}

QString ReplaySource::rateRange()
{
    return QStringLiteral("%1 to %2").arg(kSlowestRate).arg(kFastestRate, 0, 'f', 0);
}

bool ReplaySource::open(QString *error)
{
    if (rate == Rate::Fixed
        && !(framesPerSecond >= kSlowestRate && framesPerSecond <= kFastestRate)) {
        *error = QStringLiteral("a replay's rate is %1 frames per second, not %2")
                     .arg(rateRange())
                     .arg(framesPerSecond);
        return false;
    }
    indexFile.setFileName(path);
    if (!file.open(QIODevice::ReadOnly) || !indexFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2")
                     .arg(path, file.isOpen() ? indexFile.errorString() : file.errorString());
        return false;
    }
    fileSize = uint64_t(file.size());
    {
        // A file without a frame is refused at once: the rules run up to its first frame (through
        // the whole file when there is none), quietly, since the replay says what it rejects.
        passedOn = qInstallMessageHandler(dropDebugLines);
        FrameReceiver receiver;
        FrameDecoder decoder;
        frame_t record;
        bool found = false;
        const auto first = [&found](const frame_t &, const char *, int) { found = true; };
        while (!found) {
            const QByteArray chunk = file.read(4096);
            if (chunk.isEmpty())
                break;
            receiver.receive(chunk.constData(), chunk.size(), decoder, record, first);
        }
        if (!found && file.atEnd())
            receiver.flush(decoder, record, first);
        qInstallMessageHandler(passedOn);
        const bool readFailed = !found && !file.atEnd();
        if (readFailed || !file.seek(0)) {
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
            return false;
        }
        if (!found) {
            *error = QStringLiteral("%1 holds no frame").arg(path);
            return false;
        }
    }
    indexStep();
    given = 0;
    clock.start();
    return true;
}

bool ReplaySource::indexStep()
{
    if (indexed)
        return true;
    // A stretch of the file a step: a few milliseconds of the worker's time.
    constexpr qint64 kStepBytes = 1 << 20;
    passedOn = qInstallMessageHandler(dropDebugLines);
    const auto count = [this](const frame_t &, const char *bytes, int length) {
        ++frameCount;
        frameStarts.push_back(indexReceiver.streamOffset(bytes));
        frameEnds.push_back(indexReceiver.streamOffset(bytes) + uint64_t(length));
    };
    const QByteArray chunk = indexFile.read(kStepBytes);
    indexReceiver.receive(chunk.constData(), chunk.size(), indexDecoder, indexRecord, count);
    // The end of the file, or as far as it can be read: the index ends there.
    if (chunk.size() < kStepBytes) {
        indexReceiver.flush(indexDecoder, indexRecord, count);
        indexed = true;
    }
    qInstallMessageHandler(passedOn);
    if (!indexed) {
        progress->setPercent(int(100 * indexFile.pos() / qint64(std::max<uint64_t>(fileSize, 1))));
        return false;
    }
    indexFile.close();
    std::vector<double> times;
    times.reserve(frameEnds.size());
    for (uint64_t end : frameEnds)
        times.push_back(LineSettings::secondsFor(double(end)));
    progress->finish(std::move(times));
    return true;
}

uint64_t ReplaySource::dueBytes(double elapsed) const
{
    switch (rate) {
    case Rate::Line:
        return paceByte + uint64_t(elapsed * LineSettings::kBytesPerSecond);
    case Rate::Fixed: {
        // The first frame at once, then one every 1/F seconds; trailing bytes after the last.
        const auto due = size_t(paceFrame) + size_t(elapsed * framesPerSecond) + 1;
        if (due > frameEnds.size() && !indexed) // the frames not indexed yet wait for the index
            return frameEnds.empty() ? 0 : frameEnds.back();
        return due >= frameEnds.size() ? fileSize : frameEnds[due - 1];
    }
    case Rate::Max:
        break;
    }
    return fileSize;
}

uint64_t ReplaySource::moveTo(int64_t frame, bool play)
{
    const bool moved = frame >= 0 && frameCount > 0; // nothing indexed yet to move to
    if (moved) {
        frame = std::min(frame, frameCount - 1);
        given = frameStarts[size_t(frame)];
        file.seek(qint64(given));
    } else {
        // From the next frame that has not been handed over whole.
        frame = int64_t(
            std::upper_bound(frameEnds.begin(), frameEnds.end(), given) - frameEnds.begin());
    }
    paceFrame = frame;
    paceByte = given;
    clock.start();
    held = !play;
    // Held after a move, the frame moved to is shown; held where it was, nothing more.
    heldEnd = held && moved ? frameEnds[size_t(frame)] : given;
    return given;
}

void ReplaySource::setFramesPerSecond(double perSecond)
{
    rate = perSecond == 0 ? Rate::Line : std::isinf(perSecond) ? Rate::Max : Rate::Fixed;
    framesPerSecond = perSecond;
    moveTo(-1, !held);
}

int ReplaySource::read(QByteArray &out, int limit)
{
    // While indexing, the worker comes back at once for the next step.
    const bool whole = indexStep();
    const auto orIndexing = [whole](int wait) { return whole ? wait : 0; };
    if (held) {
        // A held replay hands over the frame moved to, then waits; it does not end.
        if (heldEnd > given) {
            const QByteArray frame = file.read(qint64(heldEnd - given));
            out += frame;
            given += uint64_t(frame.size());
        }
        return orIndexing(50);
    }
    if (given >= fileSize)
        return -1;
    const double elapsed = clock.nsecsElapsed() / 1e9;
    const uint64_t due = std::min(dueBytes(elapsed), fileSize);
    if (due > given) {
        const QByteArray chunk
            = file.read(qint64(std::min<uint64_t>(due - given, uint64_t(limit))));
        if (chunk.isEmpty())
            return -1; // the file shrank or can no longer be read: this pass ends here
        out += chunk;
        given += uint64_t(chunk.size());
    }
    if (given >= fileSize)
        return 0; // the pass ends on the next read, after these bytes have been taken
    if (rate == Rate::Max || dueBytes(elapsed) > given)
        return 0;
    if (rate == Rate::Fixed) {
        // Sleep until the next frame is due.
        const double next = std::floor(elapsed * framesPerSecond + 1.0) / framesPerSecond;
        return orIndexing(
            int(std::clamp(std::ceil((next - elapsed) * 1000.0), 1.0, kLongestWaitMs)));
    }
    return orIndexing(kTickMs);
}

bool ReplaySource::nextPass()
{
    if (!loop || !file.seek(0))
        return false;
    given = 0;
    paceFrame = 0;
    paceByte = 0;
    clock.start();
    return true;
}

double ReplaySource::secondsAt(uint64_t offset) const
{
    // A capture keeps no times of its own: a frame is stamped with when its last byte would have
    // arrived on the line, as vazorez-decode stamps it.
    return LineSettings::secondsFor(double(offset));
}
