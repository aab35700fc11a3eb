// SPDX-License-Identifier: MIT
#include "targetjson.h"

#include <cmath>

QByteArray jsonNumber(double value, int decimals)
{
    return std::isnan(value) ? QByteArray() : QByteArray::number(value, 'f', decimals);
}

void appendTargetsJson(QByteArray &text, const RadarAnalysis &analysis)
{
    text += "\"targets\":[";
    for (const RadarTarget &target : analysis.targets) {
        if (target.rank > 1)
            text += ',';
        text += "{\"rank\":" + QByteArray::number(target.rank);
        if (!std::isnan(target.rangeM))
            text += ",\"range_m\":" + jsonNumber(target.rangeM, 3);
        if (!std::isnan(target.speedMps))
            text += ",\"speed_mps\":" + jsonNumber(target.speedMps, 3) + ",\"direction\":\""
                + target.direction() + '"';
        text += ",\"bins\":" + jsonNumber(target.bins, 3) + ",\"level_db\":"
            + jsonNumber(target.levelDb, 2) + ",\"snr_db\":" + jsonNumber(target.snrDb, 2) + '}';
    }
    text += ']';
    if (analysis.images > 0)
        text += ",\"images\":" + QByteArray::number(analysis.images);
    if (analysis.clipped)
        text += ",\"clipped\":true";
    if (analysis.belowFloor) {
        const RadarSpectrum::Axis axis = analysis.spectrum.axis;
        text += axis == RadarSpectrum::Axis::Speed ? ",\"slow_motion\":{\"below_mps\":"
            : axis == RadarSpectrum::Axis::Range   ? ",\"too_near\":{\"below_m\":"
                                                   : ",\"near_zero\":{\"below_bins\":";
        text += jsonNumber(analysis.floor, 3)
            + ",\"level_db\":" + jsonNumber(analysis.belowFloorLevelDb, 2) + '}';
    }
}
