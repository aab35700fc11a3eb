// SPDX-License-Identifier: MIT
// The radar's physics as the user describes it in a small JSON file: what turns a spectrum's bins
// into metres per second (CW) and metres (FMCW).
#pragma once

#include <QString>
#include <QStringList>

class QByteArray;
class QJsonObject;

// The object a small JSON file of settings holds (a radar profile, a simulator's scene). False
// with a one-line `error` naming `origin` when it is not JSON or not an object (`what`: "a radar
// profile").
bool readJsonObject(const QByteArray &json, const QString &origin, const QString &what,
    QJsonObject *object, QString *error);

struct RadarProfile {
    static constexpr double kSpeedOfLight = 299792458.0;
    // An I/Q imbalance beyond these is a broken channel, not one to correct.
    static constexpr double kMaxIqGainDb = 6.0;
    static constexpr double kMaxIqPhaseDeg = 30.0;

    QString name;
    double carrierHz = 0.0; // CW: the transmit frequency; FMCW: the sweep's centre
    double sampleRateHz = 0.0; // of the I and Q samples within one frame
    double bandwidthHz = 0.0; // FMCW sweep; 0 when the profile has none
    double sweepSeconds = 0.0;
    // The sign of the Doppler frequency of I + jQ for an approaching target: +1 or -1.
    int approachingSign = -1;
    // The side of the spectrum of I + jQ on which FMCW beat tones lie: +1 or -1.
    int beatSign = -1;
    double rangeOffsetM = 0.0;
    // The front end's I/Q imbalance: for I = A cos(phi), Q = 10^(iqGainDb / 20) A sin(phi + iqPhaseDeg).
    double iqGainDb = 0.0;
    double iqPhaseDeg = 0.0;
    // FMCW: the beat side of the spectrum only (ranges up to maxRange()), or both sides, the other
    // one read as maxRange() to twice that, for boards whose IF filter passes it.
    bool fullSpan = false;
    // FMCW: +1 for a rising sweep, -1 for a falling one. It decides which way a moving target's
    // Doppler shift moves its beat tone: a rising sweep brings an approaching target nearer.
    // Unless the profile says, the one that matches the two signs above as earlier versions had
    // them (an approaching target's tone moved away from zero: a falling sweep when they agree).
    int chirpSign = 0; // 0: not given

    bool hasSweep() const { return bandwidthHz > 0.0 && sweepSeconds > 0.0; }
    double sweepSlope() const { return bandwidthHz / sweepSeconds; } // Hz per second
    // Radial speed for a signed Doppler frequency of I + jQ: negative when approaching.
    double speedForFrequency(double hz) const;
    double frequencyForSpeed(double mps) const;
    // Range for a beat frequency (its magnitude), the offset taken off.
    double rangeForBeat(double hz) const;
    double beatForRange(double metres) const;
    double maxSpeed() const { return speedForFrequency(-approachingSign * sampleRateHz / 2.0); }
    double maxRange() const { return rangeForBeat(sampleRateHz / 2.0); }
    // The farthest range the FMCW axis shows: maxRange(), or twice as far with the full span.
    double spanRange() const { return rangeForBeat(sampleRateHz * (fullSpan ? 1.0 : 0.5)); }
    int chirp() const { return chirpSign != 0 ? chirpSign : approachingSign == beatSign ? -1 : 1; }
    bool iqCorrected() const { return iqGainDb != 0.0 || iqPhaseDeg != 0.0; }
    // The signed frequency of I + jQ for a target at `metres` moving at `mps` in an FMCW frame:
    // its beat tone, moved by the Doppler shift the way the sweep's direction takes it.
    double fmcwToneHz(double metres, double mps) const;

    // Reads a profile file. False with a one-line `error` naming the file and the key when it is
    // missing, not JSON, or refused; `warnings` receives one line per key it does not know.
    static bool load(const QString &path, RadarProfile *profile, QString *error,
        QStringList *warnings = nullptr);
    // The same from the file's bytes; `origin` names them in messages.
    static bool parse(const QByteArray &json, const QString &origin, RadarProfile *profile,
        QString *error, QStringList *warnings = nullptr);
};
