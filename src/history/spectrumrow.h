// SPDX-License-Identifier: MIT
// One row of the history: a frame's spectrum as the FFT chart shows it, with its time.
#pragma once

#include "frame.h"

#include <QVector>

struct SpectrumRow {
    double seconds = 0; // when the frame's last byte arrived
    int mode = 0; // 0 = CW, 1 = FMCW
    int sampleCount = 0;
    // The chart's points: value j is S[n - 1 - j], m values (m = n for CW, n / 2 for FMCW).
    QVector<float> db;
    // Peak-to-peak of the raw channels, in digits: the offline picture's summary.
    float iAmplitude = 0;
    float qAmplitude = 0;

    // The row for a decoded record: its fft_bins and the span of its I and Q samples.
    static SpectrumRow fromRecord(const frame_t &record, double seconds);
    // The row for a frame given by its values, the spectrum `s` in frame order (a csv or jsonl
    // recording), by the decoder's plotting rule.
    static SpectrumRow fromValues(double seconds, int mode, const std::vector<int16_t> &i,
        const std::vector<int16_t> &q, const std::vector<int32_t> &s);
};

// Peak-to-peak of `samples` (0 for none).
float peakToPeak(const std::vector<int16_t> &samples);
