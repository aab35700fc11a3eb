// SPDX-License-Identifier: MIT
// The colours of the history: the FFT chart's fixed dB scale mapped onto viridis, a perceptually
// uniform map that stays readable in grey and to colour-blind eyes.
#pragma once

#include <QColor>

#include <array>

namespace DbScale {
// The FFT chart's vertical axis: the board's spectrum is shown on this range whatever the data.
constexpr float kMinDb = -35.0f;
constexpr float kMaxDb = 60.0f;
} // namespace DbScale

namespace ColourMap {

constexpr int kLevels = 256;
// Where nothing was received (before the first frame, gaps, beyond a frame's own width).
constexpr QRgb kNoData = 0xff303030;

// The viridis table, darkest (low dB) first.
const std::array<QRgb, kLevels> &viridis();

// The level of `db` on the fixed scale: 0 at -35 dB and below, kLevels - 1 at 60 dB and above.
inline int levelForDb(float db)
{
    const float level
        = (db - DbScale::kMinDb) * (float(kLevels - 1) / (DbScale::kMaxDb - DbScale::kMinDb));
    if (!(level > 0.0f))
        return 0; // also NaN
    return level >= float(kLevels - 1) ? kLevels - 1 : int(level + 0.5f);
}

inline QRgb colourForDb(float db)
{
    return viridis()[size_t(levelForDb(db))];
}

} // namespace ColourMap
