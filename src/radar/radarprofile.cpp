// SPDX-License-Identifier: MIT
#include "radarprofile.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>

namespace {

// A profile is a dozen lines: anything much larger is not one.
constexpr qint64 kMaxProfileBytes = 64 * 1024;
// Above this the numbers describe no radar a serial board streams from.
constexpr double kMaxCarrierHz = 1e12;
constexpr double kMaxSweepSeconds = 10.0;
constexpr double kMaxRangeOffsetM = 1e4;

struct Reader {
    const QJsonObject &object;
    const QString &origin;
    QString *error;
    QStringList unknown; // keys the profile has that no profile knows

    bool fail(const QString &message)
    {
        *error = QStringLiteral("%1: %2").arg(origin, message);
        return false;
    }

    // A required key that is absent is most often one typed wrong ("bandwith_hz"): the keys the
    // profile has and no profile knows are named beside it, else the refusal sends the user
    // looking for a key that is there.
    bool missing(const QString &key, const QString &hint = QString())
    {
        QStringList notes;
        if (!hint.isEmpty())
            notes.append(hint);
        if (!unknown.isEmpty())
            notes.append(QStringLiteral("unknown key%1 %2: misspelt?")
                             .arg(unknown.size() > 1 ? QStringLiteral("s") : QString(),
                                 unknown.join(QStringLiteral(", "))));
        return fail(notes.isEmpty()
                ? QStringLiteral("%1 is missing").arg(key)
                : QStringLiteral("%1 is missing (%2)").arg(key, notes.join("; ")));
    }

    // A positive, finite number; `required` false leaves `out` alone when the key is absent.
    bool positive(const char *key, double *out, bool required)
    {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined()) {
            if (required)
                return missing(QLatin1String(key));
            return true;
        }
        if (!value.isDouble())
            return fail(QStringLiteral("%1 must be a number").arg(QLatin1String(key)));
        const double number = value.toDouble();
        if (!std::isfinite(number) || number <= 0.0)
            return fail(QStringLiteral("%1 must be above zero, not %2")
                            .arg(QLatin1String(key))
                            .arg(number));
        *out = number;
        return true;
    }

    // A finite number within +-limit; absent leaves `out` alone.
    bool bounded(const char *key, double limit, double *out)
    {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined())
            return true;
        if (!value.isDouble())
            return fail(QStringLiteral("%1 must be a number").arg(QLatin1String(key)));
        const double number = value.toDouble();
        if (!std::isfinite(number) || std::abs(number) > limit)
            return fail(QStringLiteral("%1 must be within +-%2, not %3")
                            .arg(QLatin1String(key))
                            .arg(limit)
                            .arg(number));
        *out = number;
        return true;
    }

    // One of two names: +1 for the first, -1 for the second; absent leaves `out` alone.
    bool choice(const char *key, const char *first, const char *second, int *out)
    {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined())
            return true;
        const QString text = value.toString();
        if (text == QLatin1String(first))
            *out = 1;
        else if (text == QLatin1String(second))
            *out = -1;
        else
            return fail(QStringLiteral("%1 must be \"%2\" or \"%3\"")
                            .arg(QLatin1String(key), QLatin1String(first), QLatin1String(second)));
        return true;
    }

    bool sign(const char *key, int *out, bool required)
    {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined()) {
            if (required)
                return missing(QLatin1String(key), QStringLiteral("\"positive\" or \"negative\""));
            return true;
        }
        const QString text = value.toString();
        if (text == QLatin1String("positive"))
            *out = 1;
        else if (text == QLatin1String("negative"))
            *out = -1;
        else
            return fail(
                QStringLiteral("%1 must be \"positive\" or \"negative\"").arg(QLatin1String(key)));
        return true;
    }
};

} // namespace

double RadarProfile::speedForFrequency(double hz) const
{
    // An approaching target has a negative speed, whichever sign its Doppler tone has.
    return -approachingSign * hz * kSpeedOfLight / (2.0 * carrierHz);
}

double RadarProfile::frequencyForSpeed(double mps) const
{
    return -approachingSign * mps * 2.0 * carrierHz / kSpeedOfLight;
}

double RadarProfile::fmcwToneHz(double metres, double mps) const
{
    // A target closing in raises the echo's frequency: a rising sweep's beat (sent minus received)
    // shrinks by the Doppler shift, a falling sweep's grows.
    const double closingHz = -mps * 2.0 * carrierHz / kSpeedOfLight;
    return beatSign * (beatForRange(metres) - chirp() * closingHz);
}

double RadarProfile::rangeForBeat(double hz) const
{
    return kSpeedOfLight * std::abs(hz) / (2.0 * sweepSlope()) - rangeOffsetM;
}

double RadarProfile::beatForRange(double metres) const
{
    return 2.0 * (metres + rangeOffsetM) * sweepSlope() / kSpeedOfLight;
}

bool RadarProfile::load(
    const QString &path, RadarProfile *profile, QString *error, QStringList *warnings)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read radar profile %1: %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() > kMaxProfileBytes) {
        *error = QStringLiteral("%1: %2 bytes is too large for a radar profile")
                     .arg(path)
                     .arg(file.size());
        return false;
    }
    const QByteArray bytes = file.read(kMaxProfileBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read radar profile %1: %2").arg(path, file.errorString());
        return false;
    }
    return parse(bytes, path, profile, error, warnings);
}

bool readJsonObject(const QByteArray &json, const QString &origin, const QString &what,
    QJsonObject *object, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("%1: not JSON (%2 at byte %3)")
                     .arg(origin, parseError.errorString())
                     .arg(parseError.offset);
        return false;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("%1: %2 is a JSON object").arg(origin, what);
        return false;
    }
    *object = document.object();
    return true;
}

bool RadarProfile::parse(const QByteArray &json, const QString &origin, RadarProfile *profile,
    QString *error, QStringList *warnings)
{
    QJsonObject object;
    if (!readJsonObject(json, origin, QStringLiteral("a radar profile"), &object, error))
        return false;
    static const QStringList known = {"name", "carrier_hz", "sample_rate_hz", "bandwidth_hz",
        "sweep_s", "approaching", "beat", "range_offset_m", "iq_gain_db", "iq_phase_deg",
        "range_span", "chirp"};
    RadarProfile read;
    Reader reader{object, origin, error, {}};
    for (const QString &key : object.keys()) {
        if (known.contains(key))
            continue;
        reader.unknown.append(key);
        if (warnings)
            warnings->append(QStringLiteral("%1: unknown key %2 ignored").arg(origin, key));
    }
    const QJsonValue name = object.value(QLatin1String("name"));
    if (!name.isUndefined() && !name.isString())
        return reader.fail(QStringLiteral("name must be a string"));
    read.name = name.toString();
    if (!reader.positive("carrier_hz", &read.carrierHz, true)
        || !reader.positive("sample_rate_hz", &read.sampleRateHz, true)
        || !reader.positive("bandwidth_hz", &read.bandwidthHz, false)
        || !reader.positive("sweep_s", &read.sweepSeconds, false)
        || !reader.sign("approaching", &read.approachingSign, true))
        return false;
    if (read.carrierHz > kMaxCarrierHz)
        return reader.fail(
            QStringLiteral("carrier_hz %1 is above %2 Hz").arg(read.carrierHz).arg(kMaxCarrierHz));
    if (read.sampleRateHz > read.carrierHz)
        return reader.fail(QStringLiteral("sample_rate_hz %1 is above carrier_hz %2")
                               .arg(read.sampleRateHz)
                               .arg(read.carrierHz));
    const bool hasBandwidth = object.contains(QLatin1String("bandwidth_hz"));
    const bool hasSweep = object.contains(QLatin1String("sweep_s"));
    if (hasBandwidth != hasSweep)
        return hasBandwidth
            ? reader.missing(QStringLiteral("sweep_s"), QStringLiteral("bandwidth_hz needs it"))
            : reader.missing(QStringLiteral("bandwidth_hz"), QStringLiteral("sweep_s needs it"));
    if (hasBandwidth) {
        if (read.bandwidthHz > read.carrierHz)
            return reader.fail(QStringLiteral("bandwidth_hz %1 is above carrier_hz %2")
                                   .arg(read.bandwidthHz)
                                   .arg(read.carrierHz));
        if (read.sweepSeconds > kMaxSweepSeconds)
            return reader.fail(QStringLiteral("sweep_s %1 is above %2 s")
                                   .arg(read.sweepSeconds)
                                   .arg(kMaxSweepSeconds));
        if (!reader.sign("beat", &read.beatSign, true))
            return false;
    } else if (!reader.sign("beat", &read.beatSign, false)) {
        return false;
    }
    const QJsonValue offset = object.value(QLatin1String("range_offset_m"));
    if (!offset.isUndefined()) {
        if (!offset.isDouble())
            return reader.fail(QStringLiteral("range_offset_m must be a number"));
        read.rangeOffsetM = offset.toDouble();
        if (!std::isfinite(read.rangeOffsetM) || std::abs(read.rangeOffsetM) > kMaxRangeOffsetM)
            return reader.fail(QStringLiteral("range_offset_m must be within +-%1 m, not %2")
                                   .arg(kMaxRangeOffsetM)
                                   .arg(read.rangeOffsetM));
    }
    if (!reader.bounded("iq_gain_db", RadarProfile::kMaxIqGainDb, &read.iqGainDb)
        || !reader.bounded("iq_phase_deg", RadarProfile::kMaxIqPhaseDeg, &read.iqPhaseDeg))
        return false;
    int span = 0;
    if (!reader.choice("range_span", "half", "full", &span))
        return false;
    read.fullSpan = span < 0;
    if (!reader.choice("chirp", "up", "down", &read.chirpSign))
        return false;
    for (const char *key : {"range_span", "chirp"}) {
        if (!hasBandwidth && object.contains(QLatin1String(key)) && warnings)
            warnings->append(QStringLiteral("%1: %2 applies to a sweep, which the profile has not")
                                 .arg(origin, QLatin1String(key)));
    }
    *profile = read;
    return true;
}
