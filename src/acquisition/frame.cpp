// SPDX-License-Identifier: MIT
#include "frame.h"

#include <QDebug>

namespace {

// Empties `series` for the next frame's points without shrinking it. An unshared vector keeps its
// allocation; a shared one is detached, leaving the other sharer's points alone, into storage of
// the same capacity (Qt 5 does that by itself, Qt 6 has to be asked).
void emptyKeepingCapacity(QVector<QPointF> &series)
{
    const auto capacity = series.capacity();
    series.resize(0);
    if (series.capacity() < capacity)
        series.reserve(capacity);
}

} // namespace

void resetFrame(frame_t &frame)
{
    frame.modulation = 0;
    frame.sample_count = 0;
    frame.i_samples.clear();
    frame.q_samples.clear();
    emptyKeepingCapacity(frame.i_series);
    emptyKeepingCapacity(frame.q_series);
    emptyKeepingCapacity(frame.fft_series);
    emptyKeepingCapacity(frame.fft_bins);
}

bool operator==(const frame_t &a, const frame_t &b)
{
    return a.modulation == b.modulation && a.sample_count == b.sample_count
        && a.i_samples == b.i_samples && a.q_samples == b.q_samples && a.i_series == b.i_series
        && a.q_series == b.q_series && a.fft_series == b.fft_series && a.fft_bins == b.fft_bins;
}

namespace {
template<typename Sequence>
void printSequence(QDebug &debug, const char *name, const Sequence &values)
{
    debug << " " << name << "[";
    int shown = 0;
    for (const auto &value : values) {
        if (shown == 8) {
            debug << " ... (" << int(values.size()) << " in all)";
            break;
        }
        debug << (shown ? " " : "") << value;
        ++shown;
    }
    debug << "]";
}
} // namespace

QDebug operator<<(QDebug debug, const frame_t &frame)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "frame_t(mode " << frame.modulation << ", n " << frame.sample_count;
    printSequence(debug, "i", frame.i_samples);
    printSequence(debug, "q", frame.q_samples);
    printSequence(debug, "i_series", frame.i_series);
    printSequence(debug, "q_series", frame.q_series);
    printSequence(debug, "fft_series", frame.fft_series);
    printSequence(debug, "fft_bins", frame.fft_bins);
    debug << ")";
    return debug;
}

void registerFrameMetaType()
{
    qRegisterMetaType<frame_t>("frame_t");
}
