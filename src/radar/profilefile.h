// SPDX-License-Identifier: MIT
// A radar profile as a file of its own: written back in the form RadarProfile::parse reads, and the
// copy of it that lies beside a recording made while the profile was in force, so that the tools
// and a replay read the recording in the same units without being told the profile again.
#pragma once

#include "radarprofile.h"

#include <QByteArray>
#include <QString>

// The profile as JSON; parse() reads it back to the same values.
QByteArray radarProfileJson(const RadarProfile &profile);
// Writes the profile to `path` whole, or leaves the file as it was. False with *error naming it.
bool saveRadarProfile(const QString &path, const RadarProfile &profile, QString *error);

// The profile beside a recording: "REC.radar.json" for a recording REC (the full name, extension
// included, so that scene.raw and scene.csv keep their own).
QString radarSidecarPath(const QString &recording);
enum class RadarSidecar { None, Loaded, Refused };
// A recording that keeps its profile inside it (an h5 recording's session): the profile's JSON,
// empty when the recording keeps none or is of another kind. Set by a program that reads such
// recordings, before any recording's profile is looked for.
using EmbeddedProfileReader = QByteArray (*)(const QString &recording);
void setEmbeddedProfileReader(EmbeddedProfileReader reader);
// Reads the profile of `recording`: the file beside it, else the one the recording keeps inside it.
// Refused with *error naming where it came from; *origin (if given) says that for a message.
RadarSidecar loadRadarSidecar(
    const QString &recording, RadarProfile *profile, QString *error, QString *origin = nullptr);
// The same with what the recording keeps inside it already read (empty: it keeps none), for a
// caller that must not read the recording itself.
RadarSidecar loadRadarSidecar(const QString &recording, const QByteArray &kept,
    RadarProfile *profile, QString *error, QString *origin = nullptr);
