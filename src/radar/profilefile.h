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
// Reads the profile beside `recording`, if there is one; Refused with *error naming the file.
RadarSidecar loadRadarSidecar(const QString &recording, RadarProfile *profile, QString *error);
