// SPDX-License-Identifier: MIT
#include "vitalswriter.h"

#include "frame.h"
#include "outputfile.h"
#include "targetjson.h"

#include <cmath>

VitalsWriter::VitalsWriter(
    OutputFile &out, Format format, const RadarProfile &profile, double rangeM)
    : out(out)
    , format(format)
    , radar(profile)
    , range(rangeM)
{
}

bool VitalsWriter::writeHeader()
{
    if (format != Format::Csv)
        return true;
    if (!out.write(QByteArray("time_s,displacement_mm,breaths_per_min,heart_per_min,quality\n"))) {
        error = out.errorString();
        return false;
    }
    return true;
}

QString VitalsWriter::modeName() const
{
    return !estimator       ? QString()
        : estimator->mode() ? QStringLiteral("FMCW")
                            : QStringLiteral("CW");
}

QString VitalsWriter::heartUnavailable() const
{
    return heartReason;
}

bool VitalsWriter::write(double seconds, const frame_t &record)
{
    if (!estimator) {
        const int mode = !std::isnan(range) || record.modulation ? 1 : 0;
        estimator = std::make_unique<VitalsEstimator>(radar, mode);
        estimator->setRange(range);
        if (mode == 1 && std::isnan(range)) {
            analyzer = std::make_unique<RadarAnalyzer>(radar);
            tracker = std::make_unique<TargetTracker>(radar);
        }
    }
    if (tracker && record.modulation == 1) {
        analyzer->analyze(record, analysis);
        tracker->update(seconds, analysis);
        estimator->followTracks(tracker->tracks(1), record.sample_count);
    }
    VitalsReading reading;
    if (!estimator->add(record, seconds, &reading))
        return true;
    if (!estimator->heartUnavailable().isEmpty())
        heartReason = estimator->heartUnavailable();
    ++rowCount;
    rateCount += std::isnan(reading.breathsPerMin) ? 0 : 1;
    const QByteArray time = QByteArray::number(seconds, 'f', 6);
    const QByteArray displacement = jsonNumber(reading.displacementMm, 3);
    const QByteArray breaths = jsonNumber(reading.breathsPerMin, 2);
    const QByteArray heart = jsonNumber(reading.heartPerMin, 2);
    const QByteArray quality = jsonNumber(reading.quality, 3);
    text.clear();
    if (format == Format::Csv) {
        text += time + ',' + displacement + ',' + breaths + ',' + heart + ',' + quality + '\n';
    } else {
        const auto field
            = [](const QByteArray &value) { return value.isEmpty() ? QByteArray("null") : value; };
        text += "{\"time_s\":" + time + ",\"displacement_mm\":" + field(displacement)
            + ",\"breaths_per_min\":" + field(breaths) + ",\"heart_per_min\":" + field(heart)
            + ",\"quality\":" + field(quality);
        if (estimator->mode() == 1)
            text += ",\"range_m\":" + field(jsonNumber(estimator->range(), 3));
        if (reading.moving)
            text += ",\"moving\":true";
        text += "}\n";
    }
    if (!out.write(text)) {
        error = out.errorString();
        return false;
    }
    return true;
}
