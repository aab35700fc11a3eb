// SPDX-License-Identifier: MIT
#include "framesupport.h"
#include "serialport.h"

FrameValues numberedFrame(int number, int samples, uint8_t mode, uint32_t seed)
{
    FrameValues values;
    values.mode = mode;
    values.byte3 = uint8_t(number * 7 + seed);
    uint32_t state = seed * 2654435761u + uint32_t(number) * 40503u + 1u;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    for (int k = 0; k < samples; ++k) {
        values.i.push_back(k == 0 ? int16_t(number) : int16_t(next() & 0xFFFF));
        values.q.push_back(int16_t(next() & 0xFFFF));
        values.s.push_back(int32_t(next() * 131u + k));
    }
    return values;
}

frame_t expectedRecord(const FrameValues &values)
{
    frame_t frame;
    const int n = int(values.i.size());
    frame.modulation = values.mode;
    frame.sample_count = n;
    frame.i_samples = values.i;
    frame.q_samples = values.q;
    for (int k = 0; k < n; ++k) {
        frame.i_series.append(QPointF(k, values.i[size_t(k)]));
        frame.q_series.append(QPointF(k, values.q[size_t(k)]));
    }
    if (n > 0) {
        frame.fft_series.append(QPointF(0, values.s[0]));
        const int shown = values.mode == 0 ? n : n / 2;
        for (int j = 0; j < shown; ++j) {
            const QPointF point(j, values.s[size_t(n - 1 - j)]);
            frame.fft_series.append(point);
            frame.fft_bins.append(point);
        }
    }
    return frame;
}

void FrameCollector::listenTo(SerialPort *worker)
{
    connect(worker, &SerialPort::signalFrame, this, &FrameCollector::onFrame, Qt::QueuedConnection);
    connect(worker, &SerialPort::signalComPortReady, this, &FrameCollector::onReady);
    connect(worker, &SerialPort::signalComPortFailure, this, &FrameCollector::onFailure);
}
