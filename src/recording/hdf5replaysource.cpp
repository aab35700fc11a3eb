// SPDX-License-Identifier: MIT
#include "hdf5replaysource.h"

#include "framedecoder.h"

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

bool Hdf5ReplaySource::open(QString *error)
{
    std::vector<uint8_t> counts;
    if (!reader.open(path, error) || !reader.readTimesAndCounts(&times, &counts, error))
        return false;
    const auto notATime
        = std::find_if(times.begin(), times.end(), [](double t) { return !std::isfinite(t); });
    if (notATime != times.end()) {
        *error
            = QStringLiteral("%1 is a damaged VazoRez recording: time_s of frame %2 is not a time")
                  .arg(path)
                  .arg(notATime - times.begin());
        return false;
    }
    ends.resize(counts.size());
    uint64_t end = 0;
    for (size_t k = 0; k < counts.size(); ++k) {
        end += uint64_t(8 * counts[k] + 7);
        ends[k] = end;
    }
    seekToFrame(0);
    return true;
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
    const int64_t count = int64_t(times.size());
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
        return 50;
    }
    if (nextFrame >= count)
        return -1;
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
    return wait <= 0 ? 0 : std::max(1, int(std::ceil(std::min(wait, 1.0) * 1000.0)));
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
