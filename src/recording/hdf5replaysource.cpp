// SPDX-License-Identifier: MIT
#include "hdf5replaysource.h"

#include "framedecoder.h"
#include "hdf5recording.h"

#include <QFileInfo>

#include <algorithm>
#include <cmath>

Hdf5ReplaySource::Hdf5ReplaySource(
    const QString &path, ReplaySource::Rate rate, double framesPerSecond, bool loop)
    : path(path)
    , rate(rate)
    , framesPerSecond(framesPerSecond)
    , loop(loop)
{
}

bool Hdf5ReplaySource::handles(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == "h5" || suffix == "hdf5" || Hdf5Recording::hasSignature(path);
}

namespace {
// Frames indexed a step: about 30 ms of the worker's time.
constexpr int64_t kIndexStepFrames = 4096;
// Once the times are read, a step waits this long at most for the file's check to get on (the
// worker sleeps meanwhile rather than asking again at once).
constexpr int kCheckWaitMs = 20;
} // namespace

bool Hdf5ReplaySource::open(QString *error)
{
    if (!reader.open(path, error) || (!indexStep(error) && !error->isEmpty()))
        return false;
    // Read here, on the thread that opens the replay, for the taps that hear of the link.
    keptProfile = reader.attribute("radar_profile").toUtf8();
    seekToFrame(0);
    return true;
}

bool Hdf5ReplaySource::indexStep(QString *error)
{
    if (indexed)
        return true;
    std::vector<double> stepTimes;
    std::vector<uint8_t> counts;
    const int64_t first = int64_t(times.size());
    bool whole = reader.readTimesAndCounts(first, kIndexStepFrames, &stepTimes, &counts, error);
    const auto notATime = std::find_if(
        stepTimes.begin(), stepTimes.end(), [](double t) { return !std::isfinite(t); });
    if (whole && notATime != stepTimes.end()) {
        *error
            = QStringLiteral("%1 is a damaged VazoRez recording: time_s of frame %2 is not a time")
                  .arg(path)
                  .arg(first + (notATime - stepTimes.begin()));
        whole = false;
    }
    if (whole) {
        uint64_t end = ends.empty() ? 0 : ends.back();
        for (size_t k = 0; k < counts.size(); ++k) {
            end += uint64_t(8 * counts[k] + 7);
            ends.push_back(end);
            times.push_back(stepTimes[k]);
        }
        // Ready once any frame can be read at once: the file's check reads on ahead of the
        // replay in a process of its own, and a seek must not wait for it.
        const bool timesRead = int64_t(times.size()) >= reader.frames();
        const int64_t checked = reader.framesChecked(timesRead ? kCheckWaitMs : 0);
        progress->setPercent(int(100 * std::min<int64_t>(checked, int64_t(times.size()))
            / std::max<int64_t>(reader.frames(), 1)));
        if (!timesRead || !reader.checkOver())
            return false;
        if (checked < int64_t(times.size())) {
            // The library fails on the frames from there on: the replay ends before them.
            *error = reader.checkError();
            times.resize(size_t(checked));
            ends.resize(size_t(checked));
            whole = false;
        }
    }
    // Whole, or as far as it could be read: the replay ends where the index does.
    indexed = true;
    progress->finish(times);
    return whole;
}

void Hdf5ReplaySource::seekToFrame(int64_t frame)
{
    nextFrame = std::clamp<int64_t>(frame, 0, int64_t(times.size()));
    paceFrom = nextFrame;
    clock.start();
}

double Hdf5ReplaySource::dueSecondsOf(int64_t frame) const
{
    switch (rate) {
    case ReplaySource::Rate::Line:
        // As recorded: the gaps between the frames' times, from the frame the pace started at.
        return times[size_t(frame)]
            - times[size_t(std::min<int64_t>(paceFrom, int64_t(times.size()) - 1))];
    case ReplaySource::Rate::Fixed:
        return double(frame - paceFrom) / framesPerSecond;
    case ReplaySource::Rate::Max:
        break;
    }
    return 0;
}

uint64_t Hdf5ReplaySource::moveTo(int64_t frame, bool play)
{
    if (times.empty())
        frame = -1; // nothing indexed yet to move to
    if (frame >= 0)
        seekToFrame(std::min<int64_t>(frame, int64_t(times.size()) - 1));
    else
        seekToFrame(nextFrame); // the pace counts from here
    held = !play;
    oneFrame = !play && frame >= 0;
    return offsetOf(nextFrame);
}

void Hdf5ReplaySource::setFramesPerSecond(double perSecond)
{
    rate = perSecond == 0       ? ReplaySource::Rate::Line
        : std::isinf(perSecond) ? ReplaySource::Rate::Max
                                : ReplaySource::Rate::Fixed;
    framesPerSecond = perSecond;
    seekToFrame(nextFrame);
}

int Hdf5ReplaySource::read(QByteArray &out, int limit)
{
    QString indexError;
    if (!indexStep(&indexError) && !indexError.isEmpty())
        qWarning("%s", qPrintable(indexError));
    // Until the index is whole, the frames it holds so far.
    const int64_t count = int64_t(times.size());
    // While indexing, the worker comes back at once for the next step.
    const auto orIndexing = [this](int wait) { return indexed ? wait : 0; };
    if (held) {
        // A held replay shows the frame moved to, and then waits to be played or moved again; it
        // does not end, even after its last frame.
        FrameValues values;
        double seconds = 0;
        if (oneFrame && nextFrame < count
            && reader.readFrame(nextFrame, &values, &seconds, &readError)) {
            appendFrame(out, values);
            ++nextFrame;
        }
        oneFrame = false;
        return orIndexing(50);
    }
    if (nextFrame >= count)
        return indexed ? -1 : 0;
    const double elapsed = clock.nsecsElapsed() / 1e9;
    FrameValues values;
    double seconds = 0;
    const int start = out.size();
    while (nextFrame < count && dueSecondsOf(nextFrame) <= elapsed
        && out.size() - start + FrameDecoder::kMaxFrameLength <= limit) {
        if (!reader.readFrame(nextFrame, &values, &seconds, &readError)) {
            qWarning("%s", qPrintable(readError));
            nextFrame = count; // the pass ends with what could be read
            break;
        }
        appendFrame(out, values);
        ++nextFrame;
    }
    if (nextFrame >= count)
        return 0; // the pass ends on the next read, after these bytes have been taken
    const double wait = dueSecondsOf(nextFrame) - elapsed;
    return orIndexing(wait <= 0 ? 0 : std::max(1, int(std::ceil(std::min(wait, 1.0) * 1000.0))));
}

bool Hdf5ReplaySource::nextPass()
{
    if (!loop)
        return false;
    seekToFrame(0);
    return true;
}

double Hdf5ReplaySource::secondsAt(uint64_t offset) const
{
    // The frame that ends at `offset` (or the first that ends after it).
    const auto found = std::lower_bound(ends.begin(), ends.end(), offset);
    if (found == ends.end())
        return times.empty() ? 0.0 : times.back();
    return times[size_t(found - ends.begin())];
}
