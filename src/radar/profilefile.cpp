// SPDX-License-Identifier: MIT
#include "profilefile.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <atomic>

namespace {

QString signName(int sign)
{
    return sign > 0 ? QStringLiteral("positive") : QStringLiteral("negative");
}

} // namespace

QByteArray radarProfileJson(const RadarProfile &profile)
{
    QJsonObject object;
    if (!profile.name.isEmpty())
        object.insert("name", profile.name);
    object.insert("carrier_hz", profile.carrierHz);
    object.insert("sample_rate_hz", profile.sampleRateHz);
    if (profile.hasSweep()) {
        object.insert("bandwidth_hz", profile.bandwidthHz);
        object.insert("sweep_s", profile.sweepSeconds);
    }
    object.insert("approaching", signName(profile.approachingSign));
    object.insert("beat", signName(profile.beatSign));
    object.insert("range_offset_m", profile.rangeOffsetM);
    if (profile.iqCorrected()) {
        object.insert("iq_gain_db", profile.iqGainDb);
        object.insert("iq_phase_deg", profile.iqPhaseDeg);
    }
    if (profile.fullSpan)
        object.insert("range_span", QStringLiteral("full"));
    if (profile.chirpSign != 0)
        object.insert("chirp", profile.chirpSign > 0 ? QStringLiteral("up") : QStringLiteral("down"));
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

bool saveRadarProfile(const QString &path, const RadarProfile &profile, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(radarProfileJson(profile)) < 0
        || !file.commit()) {
        *error = QStringLiteral("cannot write radar profile %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

QString radarSidecarPath(const QString &recording)
{
    return recording + QStringLiteral(".radar.json");
}

namespace {
std::atomic<EmbeddedProfileReader> embeddedReader{nullptr};
} // namespace

void setEmbeddedProfileReader(EmbeddedProfileReader reader)
{
    embeddedReader.store(reader);
}

RadarSidecar loadRadarSidecar(
    const QString &recording, RadarProfile *profile, QString *error, QString *origin)
{
    if (QFileInfo(radarSidecarPath(recording)).isFile())
        return loadRadarSidecar(recording, QByteArray(), profile, error, origin);
    const EmbeddedProfileReader reader = embeddedReader.load();
    return loadRadarSidecar(
        recording, reader ? reader(recording) : QByteArray(), profile, error, origin);
}

RadarSidecar loadRadarSidecar(const QString &recording, const QByteArray &inside,
    RadarProfile *profile, QString *error, QString *origin)
{
    const QString path = radarSidecarPath(recording);
    if (QFileInfo(path).isFile()) {
        if (origin)
            *origin = path;
        return RadarProfile::load(path, profile, error) ? RadarSidecar::Loaded
                                                        : RadarSidecar::Refused;
    }
    if (inside.isEmpty())
        return RadarSidecar::None;
    const QString kept = QStringLiteral("the profile kept in %1").arg(recording);
    if (origin)
        *origin = kept;
    return RadarProfile::parse(inside, kept, profile, error) ? RadarSidecar::Loaded
                                                             : RadarSidecar::Refused;
}
