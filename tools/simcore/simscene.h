// SPDX-License-Identifier: MIT
// A scene of targets that come and go and move along straight lines past the sensor: the truth a
// moving scene's frames are made from, and the truth a tracker's tests compare against.
#pragma once

#include <QString>
#include <QStringList>

#include <limits>
#include <vector>

class QByteArray;

// A point target that stays where it is: the truth the analysis is checked against. Its speed
// turns its echo's phase from frame to frame, but its range never changes.
struct SimTarget {
    static constexpr double kDefaultLevelDb = 50.0;

    double rangeM = 0.0;
    double speedMps = 0.0; // negative approaching
    double levelDb = kDefaultLevelDb; // the tone's amplitude in I and Q, in dB of one ADC digit
};

// One target's path. Its position along the line of travel is x(t) = x0 + v (t - start), x
// measured from the path's point closest to the sensor, with x0 = +sqrt(range^2 - lateral^2): a
// negative speed moves it towards that point (approaching), a positive one away (receding). Its
// range is sqrt(x^2 + lateral^2), its radial speed dR/dt = v x / R: with a lateral distance it
// turns from approaching to receding as the target passes. Past the closest point it goes on.
struct SimSceneTarget {
    double startS = 0.0;
    double endS = std::numeric_limits<double>::infinity(); // in view while startS <= t < endS
    double rangeM = 0.0; // at startS
    double speedMps = 0.0; // along its path; negative approaching
    double lateralM = 0.0; // the path's distance from the sensor at its closest; 0: straight at it
    double levelDb = SimTarget::kDefaultLevelDb;
    // A person at rest: the range moves about the path's by breathing, a heartbeat and a slow
    // sway, each a sine from startS on (amplitudes: half the swing, in millimetres).
    static constexpr double kDefaultSwayPeriodS = 40.0;
    double breathMm = 0.0;
    double breathsPerMin = 0.0;
    double heartMm = 0.0;
    double heartPerMin = 0.0;
    double swayMm = 0.0;
    double swayPeriodS = kDefaultSwayPeriodS;

    bool inView(double seconds) const { return seconds >= startS && seconds < endS; }
    double pathM(double seconds) const; // x(t)
    double rangeAt(double seconds) const;
    double radialSpeedAt(double seconds) const; // 0 at the sensor itself, where it has no direction
    // The person's own motion about the path, in metres, and its rate in metres a second.
    double microMotionM(double seconds) const;
    double microSpeedMps(double seconds) const;
};

// A target in view at one moment, as the frames show it.
struct SimTargetTruth {
    int target = 0; // its number in the scene, from 1
    double rangeM = 0.0;
    double speedMps = 0.0; // radial: negative approaching
    double levelDb = 0.0;
};

struct SimScene {
    std::vector<SimSceneTarget> targets;
    std::vector<SimTarget> clutter; // reflectors that stand still, beside the front end's
    double durationS = 0.0; // how long the scene lasts; 0: not said

    // The targets in view at `seconds` after the first frame, in the scene's order.
    std::vector<SimTargetTruth> at(double seconds) const;

    // Reads a scene file. False with a one-line `error` naming the file, the target's number
    // and the key when it is missing, not JSON or refused; `warnings` receives one line per key
    // it does not know.
    static bool load(
        const QString &path, SimScene *scene, QString *error, QStringList *warnings = nullptr);
    // The same from the file's bytes; `origin` names them in messages.
    static bool parse(const QByteArray &json, const QString &origin, SimScene *scene,
        QString *error, QStringList *warnings = nullptr);
};
