// SPDX-License-Identifier: MIT
#include "spectrumrow.h"

#include <algorithm>

float peakToPeak(const std::vector<int16_t> &samples)
{
    if (samples.empty())
        return 0.0f;
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    return float(*high) - float(*low);
}

SpectrumRow SpectrumRow::fromRecord(const frame_t &record, double seconds)
{
    SpectrumRow row;
    row.seconds = seconds;
    row.mode = record.modulation;
    row.sampleCount = record.sample_count;
    row.db.resize(record.fft_bins.size());
    for (int j = 0; j < record.fft_bins.size(); ++j)
        row.db[j] = float(record.fft_bins[j].y());
    row.iAmplitude = peakToPeak(record.i_samples);
    row.qAmplitude = peakToPeak(record.q_samples);
    return row;
}

SpectrumRow SpectrumRow::fromValues(double seconds, int mode, const std::vector<int16_t> &i,
    const std::vector<int16_t> &q, const std::vector<int32_t> &s)
{
    SpectrumRow row;
    row.seconds = seconds;
    row.mode = mode;
    const int n = int(s.size());
    row.sampleCount = n;
    const int m = mode == 0 ? n : n / 2;
    row.db.resize(m);
    for (int j = 0; j < m; ++j)
        row.db[j] = float(s[size_t(n - 1 - j)]);
    row.iAmplitude = peakToPeak(i);
    row.qAmplitude = peakToPeak(q);
    return row;
}
