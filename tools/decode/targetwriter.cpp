// SPDX-License-Identifier: MIT
#include "targetwriter.h"

#include "frame.h"
#include "outputfile.h"

#include <cmath>

namespace {

// A value, or nothing for a quantity the frame's mode does not measure.
QByteArray number(double value, int decimals)
{
    return std::isnan(value) ? QByteArray() : QByteArray::number(value, 'f', decimals);
}

} // namespace

TargetWriter::TargetWriter(
    OutputFile &out, Format format, const RadarProfile &profile, const RadarSettings &settings)
    : out(out)
    , format(format)
    , analyzer(profile, settings)
{
}

bool TargetWriter::writeHeader()
{
    if (format != Format::Csv)
        return true;
    if (!out.write(
            QByteArrayLiteral("frame,time_s,mode,rank,range_m,speed_mps,level_db,snr_db\n"))) {
        error = out.errorString();
        return false;
    }
    return true;
}

bool TargetWriter::write(int64_t index, double seconds, const frame_t &record)
{
    analyzer.analyze(record, analysis);
    targetCount += int64_t(analysis.targets.size());
    const QByteArray frame = QByteArray::number(qlonglong(index));
    const QByteArray time = QByteArray::number(seconds, 'f', 6);
    const QByteArray mode = record.modulation ? "FMCW" : "CW";
    text.clear();
    if (format == Format::Csv) {
        for (const RadarTarget &target : analysis.targets) {
            text += frame + ',' + time + ',' + mode + ',' + QByteArray::number(target.rank) + ','
                + number(target.rangeM, 3) + ',' + number(target.speedMps, 3) + ','
                + number(target.levelDb, 2) + ',' + number(target.snrDb, 2) + '\n';
        }
    } else {
        text += "{\"frame\":" + frame + ",\"time_s\":" + time + ",\"mode\":\"" + mode
            + "\",\"targets\":[";
        for (const RadarTarget &target : analysis.targets) {
            if (target.rank > 1)
                text += ',';
            text += "{\"rank\":" + QByteArray::number(target.rank);
            if (!std::isnan(target.rangeM))
                text += ",\"range_m\":" + number(target.rangeM, 3);
            if (!std::isnan(target.speedMps))
                text += ",\"speed_mps\":" + number(target.speedMps, 3) + ",\"direction\":\""
                    + target.direction() + '"';
            text += ",\"bins\":" + number(target.bins, 3) + ",\"level_db\":"
                + number(target.levelDb, 2) + ",\"snr_db\":" + number(target.snrDb, 2) + '}';
        }
        text += ']';
        // Beside the targets: images left out, a clipped frame, something within the zone round
        // zero where no target is reported.
        if (analysis.images > 0)
            text += ",\"images\":" + QByteArray::number(analysis.images);
        if (analysis.clipped)
            text += ",\"clipped\":true";
        if (analysis.belowFloor) {
            const RadarSpectrum::Axis axis = analysis.spectrum.axis;
            text += axis == RadarSpectrum::Axis::Speed ? ",\"slow_motion\":{\"below_mps\":"
                : axis == RadarSpectrum::Axis::Range   ? ",\"too_near\":{\"below_m\":"
                                                        : ",\"near_zero\":{\"below_bins\":";
            text += number(analysis.floor, 3) + ",\"level_db\":"
                + number(analysis.belowFloorLevelDb, 2) + '}';
        }
        text += "}\n";
    }
    if (!text.isEmpty() && !out.write(text)) {
        error = out.errorString();
        return false;
    }
    return true;
}
