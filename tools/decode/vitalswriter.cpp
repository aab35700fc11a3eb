// SPDX-License-Identifier: MIT
#include "vitalswriter.h"

#include "frame.h"
#include "outputfile.h"
#include "targetjson.h"

#include <QStringList>

#include <cmath>

VitalsWriter::VitalsWriter(
    OutputFile &out, Format format, const RadarProfile &profile, double rangeM)
    : out(out)
    , format(format)
    , radar(profile)
    , range(rangeM)
{
}

namespace {
const char kHeader[] = "time_s,displacement_mm,breaths_per_min,heart_per_min,quality\n";
}

bool VitalsWriter::writeHeader()
{
    headerPending = format == Format::Csv;
    return true;
}

bool VitalsWriter::finish()
{
    if (!headerPending)
        return true;
    headerPending = false;
    if (!out.write(QByteArray(kHeader))) {
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
    if (estimator->mode() == 1 && !std::isnan(range) && refused.isEmpty() && rowCount == 0
        && record.modulation == 1) {
        refused = VitalsEstimator::rangeRefusal(radar, range, record.sample_count);
        if (!refused.isEmpty()) {
            error = refused;
            return false;
        }
    }
    VitalsReading reading;
    if (!estimator->add(record, seconds, &reading)) {
        ++otherModeFrames;
        return true;
    }
    unfollowedRows += estimator->mode() == 1 && std::isnan(estimator->range()) ? 1 : 0;
    noEchoRows += reading.noEcho ? 1 : 0;
    movingRows += reading.moving ? 1 : 0;
    displacementRows += std::isnan(reading.displacementMm) ? 0 : 1;
    qualityRows += std::isnan(reading.quality) ? 0 : 1;
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
    if (headerPending) {
        text += kHeader;
        headerPending = false;
    }
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
        if (reading.noEcho)
            text += ",\"no_echo\":true";
        text += "}\n";
    }
    if (!out.write(text)) {
        error = out.errorString();
        return false;
    }
    return true;
}

QString VitalsWriter::explanation() const
{
    if (rowCount == 0 && otherModeFrames > 0)
        return estimator->mode() == 1
            ? QStringLiteral("the recording has no FMCW frames: --vitals-range reads FMCW frames; "
                             "leave it out to read the CW frames")
            : QStringLiteral("the recording has no CW frames after its first");
    if (rowCount == 0)
        return QString();
    if (unfollowedRows == rowCount)
        return QStringLiteral("no confirmed track to follow in the FMCW frames (a person at rest "
                              "seldom makes one): give --vitals-range R, the person's range in "
                              "metres");
    if (rateCount > 0)
        return QString();
    QStringList why;
    if (noEchoRows > 0)
        why << QStringLiteral("%1 rows with no echo moving above the noise (no one there, or "
                              "nothing that moves%2)")
                   .arg(noEchoRows)
                   .arg(estimator->mode() == 1 ? QStringLiteral(" in the cell at that range")
                                               : QString());
    if (movingRows > 0)
        why << QStringLiteral("%1 rows while something moves").arg(movingRows);
    if (unfollowedRows > 0)
        why << QStringLiteral("%1 rows before the first confirmed track").arg(unfollowedRows);
    if (displacementRows > 0 && qualityRows == 0 && why.isEmpty())
        why << QStringLiteral("a rate needs 15 s of displacement, and the recording has less");
    else if (displacementRows > 0 && why.isEmpty())
        why << QStringLiteral("no breathing peak of quality 0.5 in the displacement's spectrum");
    if (why.isEmpty())
        return QString();
    return QStringLiteral("no breathing rate: ") + why.join(QStringLiteral("; "));
}
