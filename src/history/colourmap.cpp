// SPDX-License-Identifier: MIT
#include "colourmap.h"

#include <algorithm>

namespace {

// A degree-6 polynomial fit of viridis per channel (public-domain coefficients), within one level
// of the published table everywhere: the table is computed once instead of being spelled out.
std::array<QRgb, ColourMap::kLevels> makeViridis()
{
    static constexpr double c[7][3] = {
        {0.2777273272234177, 0.005407344544966578, 0.3340998053353061},
        {0.1050930431085774, 1.404613529898575, 1.384590162594685},
        {-0.3308618287255563, 0.214847559468213, 0.09509516302823659},
        {-4.634230498983486, -5.799100973351585, -19.33244095627987},
        {6.228269936347081, 14.17993336680509, 56.69055260068105},
        {4.776384997670288, -13.74514537774601, -65.35303263337234},
        {-5.435455855934631, 4.645852612178535, 26.3124352495832},
    };
    std::array<QRgb, ColourMap::kLevels> table{};
    for (int level = 0; level < ColourMap::kLevels; ++level) {
        const double t = double(level) / (ColourMap::kLevels - 1);
        int channel[3];
        for (int k = 0; k < 3; ++k) {
            double value = c[6][k];
            for (int power = 5; power >= 0; --power)
                value = value * t + c[power][k];
            channel[k] = int(std::clamp(value, 0.0, 1.0) * 255.0 + 0.5);
        }
        table[size_t(level)] = qRgb(channel[0], channel[1], channel[2]);
    }
    return table;
}

} // namespace

const std::array<QRgb, ColourMap::kLevels> &ColourMap::viridis()
{
    static const std::array<QRgb, kLevels> table = makeViridis();
    return table;
}
