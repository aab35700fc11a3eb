// SPDX-License-Identifier: MIT
// One row of the history: a frame's plotted spectrum, with its time.
#pragma once

#include "frame.h"

#include <QVector>

struct SpectrumRow {
    double seconds = 0; // when the frame's last byte arrived
    int mode = 0; // 0 = CW, 1 = FMCW
    int sampleCount = 0;
    // The record's fft_bins values in dB: the board's spectrum reversed, its upper half for FMCW.
    QVector<float> db;
    // Peak-to-peak of the raw channels, in digits: the offline picture's summary.
    float iAmplitude = 0;
    float qAmplitude = 0;

    // The row for a decoded record: its fft_bins and the span of its I and Q samples.
    static SpectrumRow fromRecord(const frame_t &record, double seconds);
    // The row for a frame given by its values, the spectrum `s` in frame order (a csv or jsonl
    // recording), reversed and halved as the decoder plots it.
    static SpectrumRow fromValues(double seconds, int mode, const std::vector<int16_t> &i,
        const std::vector<int16_t> &q, const std::vector<int32_t> &s);
};

// Peak-to-peak of `samples` (0 for none).
float peakToPeak(const std::vector<int16_t> &samples);
