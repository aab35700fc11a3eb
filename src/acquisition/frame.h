// SPDX-License-Identifier: MIT
// The decoded frame record that travels from the decoder through the worker to the window.
#pragma once

#include <QMetaType>
#include <QPointF>
#include <QVector>

#include <cstdint>
#include <vector>

class QDebug;

struct frame_t
{
    int32_t modulation = 0;   // 0 = CW, 1 = FMCW
    int32_t sample_count = 0; // n, samples per channel (0 to 255)
    // The sample arrays are owned by value: every copy has its own elements, so a record queued to
    // the GUI thread never shares them with the worker's working record.
    std::vector<int16_t> i_samples;
    std::vector<int16_t> q_samples;
    // The point series are implicitly shared: copying a record costs four reference counts.
    QVector<QPointF> i_series;
    QVector<QPointF> q_series;
    QVector<QPointF> fft_series; // (0, S[0]) followed by the reversed spectrum
    QVector<QPointF> fft_bins;   // the reversed spectrum alone
};

// Empties the record for the next decode without giving up capacity. A series still shared with an
// emitted copy gets fresh storage of the same capacity; the copy keeps its points.
void resetFrame(frame_t &frame);

bool operator==(const frame_t &a, const frame_t &b);
inline bool operator!=(const frame_t &a, const frame_t &b) { return !(a == b); }
QDebug operator<<(QDebug debug, const frame_t &frame);

// Registers the record for queued signal delivery under the name used in the signal signatures.
void registerFrameMetaType();

Q_DECLARE_METATYPE(frame_t)
