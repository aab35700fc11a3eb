// SPDX-License-Identifier: MIT
#include "simscene.h"

#include "radarprofile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>

namespace {

// A scene of a few hundred targets is a few tens of kilobytes: anything much larger is not one.
constexpr qint64 kMaxSceneBytes = 4 * 1024 * 1024;
// The bounds --target and --clutter take.
constexpr double kMaxRangeM = 1e5;
constexpr double kMaxSpeedMps = 1e4;
constexpr double kMaxLevelDb = 100.0;
constexpr double kMaxSeconds = 1e7;
// A person's micro-motion: a chest moves millimetres, a heart beats at most a few times a second.
constexpr double kMaxMicroMm = 100.0;
constexpr double kMaxPerMin = 300.0;
constexpr double kPi = 3.14159265358979323846;

// Reads the keys of one JSON object; every message names the file and the object.
struct Reader {
    const QJsonObject &object;
    QString where; // "FILE: target 3"
    QString *error;
    QStringList unknown; // keys the object has that no object of its kind knows

    bool fail(const QString &message)
    {
        *error = QStringLiteral("%1: %2").arg(where, message);
        return false;
    }

    // An optional number (required when `needed`) from `low` to `high`; `out` keeps its default
    // when the key is absent.
    bool number(const char *key, double low, double high, double *out, bool needed)
    {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined())
            return !needed || missing(QLatin1String(key));
        if (!value.isDouble())
            return fail(QStringLiteral("%1 must be a number").arg(QLatin1String(key)));
        const double read = value.toDouble();
        if (!std::isfinite(read) || read < low || read > high)
            return fail(QStringLiteral("%1 must be from %2 to %3, not %4")
                            .arg(QLatin1String(key))
                            .arg(QString::number(low, 'f', 0), QString::number(high, 'f', 0))
                            .arg(read));
        *out = read;
        return true;
    }

    // A required key that is absent is most often one typed wrong ("breath_per_min"): the keys
    // the object has and none knows are named beside it, as the radar profile's refusals do.
    QString misspelt() const
    {
        return unknown.isEmpty() ? QString()
                                 : QStringLiteral(" (unknown key%1 %2: misspelt?)")
                                       .arg(unknown.size() > 1 ? QStringLiteral("s") : QString(),
                                           unknown.join(QStringLiteral(", ")));
    }
    bool missing(const QString &key)
    {
        return fail(QStringLiteral("%1 is missing%2").arg(key, misspelt()));
    }

    // Two keys that mean nothing one without the other.
    bool together(const char *first, const char *second, const QString &what)
    {
        const bool one = object.contains(QLatin1String(first));
        if (one == object.contains(QLatin1String(second)))
            return true;
        return fail(QStringLiteral("%1 without %2: %3 needs both%4")
                        .arg(QLatin1String(one ? first : second),
                            QLatin1String(one ? second : first), what, misspelt()));
    }

    void warnUnknown(const QStringList &known, QStringList *warnings)
    {
        for (const QString &key : object.keys()) {
            if (known.contains(key))
                continue;
            unknown.append(key);
            if (warnings)
                warnings->append(QStringLiteral("%1: unknown key %2 ignored").arg(where, key));
        }
    }
};

bool readTarget(const QJsonObject &object, const QString &where, SimSceneTarget *target,
    QString *error, QStringList *warnings)
{
    Reader reader{object, where, error, {}};
    reader.warnUnknown(
        {"start_s", "end_s", "range_m", "speed_mps", "lateral_m", "level_db", "breath_mm",
            "breaths_per_min", "heart_mm", "heart_per_min", "sway_mm", "sway_period_s"},
        warnings);
    if (!reader.together("breath_mm", "breaths_per_min", QStringLiteral("breathing"))
        || !reader.together("heart_mm", "heart_per_min", QStringLiteral("a heartbeat"))
        || !reader.number("start_s", 0.0, kMaxSeconds, &target->startS, false)
        || !reader.number("end_s", 0.0, kMaxSeconds, &target->endS, false)
        || !reader.number("range_m", 0.0, kMaxRangeM, &target->rangeM, true)
        || !reader.number("speed_mps", -kMaxSpeedMps, kMaxSpeedMps, &target->speedMps,
            !object.contains(QLatin1String("breaths_per_min")))
        || !reader.number("lateral_m", 0.0, kMaxRangeM, &target->lateralM, false)
        || !reader.number("level_db", -kMaxLevelDb, kMaxLevelDb, &target->levelDb, false)
        || !reader.number("breath_mm", 0.0, kMaxMicroMm, &target->breathMm, false)
        || !reader.number("breaths_per_min", 0.0, kMaxPerMin, &target->breathsPerMin, false)
        || !reader.number("heart_mm", 0.0, kMaxMicroMm, &target->heartMm, false)
        || !reader.number("heart_per_min", 0.0, kMaxPerMin, &target->heartPerMin, false)
        || !reader.number("sway_mm", 0.0, kMaxMicroMm, &target->swayMm, false)
        || !reader.number("sway_period_s", 1.0, kMaxSeconds, &target->swayPeriodS, false))
        return false;
    if (target->endS <= target->startS)
        return reader.fail(QStringLiteral("end_s %1 is not after start_s %2")
                               .arg(target->endS)
                               .arg(target->startS));
    if (target->lateralM > target->rangeM)
        return reader.fail(
            QStringLiteral("range_m %1 is nearer than lateral_m %2, the path's closest")
                .arg(target->rangeM)
                .arg(target->lateralM));
    return true;
}

} // namespace

double SimSceneTarget::pathM(double seconds) const
{
    const double start = std::sqrt(std::max(rangeM * rangeM - lateralM * lateralM, 0.0));
    return start + speedMps * (seconds - startS);
}

double SimSceneTarget::microMotionM(double seconds) const
{
    const double t = seconds - startS;
    return 1e-3
        * (breathMm * std::sin(2.0 * kPi * breathsPerMin / 60.0 * t)
            + heartMm * std::sin(2.0 * kPi * heartPerMin / 60.0 * t)
            + swayMm * std::sin(2.0 * kPi * t / swayPeriodS));
}

double SimSceneTarget::microSpeedMps(double seconds) const
{
    const double t = seconds - startS;
    const double breath = 2.0 * kPi * breathsPerMin / 60.0, heart = 2.0 * kPi * heartPerMin / 60.0;
    const double sway = 2.0 * kPi / swayPeriodS;
    return 1e-3
        * (breathMm * breath * std::cos(breath * t) + heartMm * heart * std::cos(heart * t)
            + swayMm * sway * std::cos(sway * t));
}

double SimSceneTarget::rangeAt(double seconds) const
{
    return std::hypot(pathM(seconds), lateralM) + microMotionM(seconds);
}

double SimSceneTarget::radialSpeedAt(double seconds) const
{
    const double x = pathM(seconds);
    const double range = std::hypot(x, lateralM);
    return (range > 0.0 ? speedMps * x / range : 0.0) + microSpeedMps(seconds);
}

std::vector<SimTargetTruth> SimScene::at(double seconds) const
{
    std::vector<SimTargetTruth> truth;
    for (size_t k = 0; k < targets.size(); ++k) {
        const SimSceneTarget &target = targets[k];
        if (target.inView(seconds))
            truth.push_back({int(k) + 1, target.rangeAt(seconds), target.radialSpeedAt(seconds),
                target.levelDb});
    }
    return truth;
}

bool SimScene::load(const QString &path, SimScene *scene, QString *error, QStringList *warnings)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read scene %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray bytes = file.read(kMaxSceneBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read scene %1: %2").arg(path, file.errorString());
        return false;
    }
    if (bytes.size() > kMaxSceneBytes) {
        *error = QStringLiteral("%1: more than %2 bytes is too large for a scene")
                     .arg(path)
                     .arg(kMaxSceneBytes);
        return false;
    }
    return parse(bytes, path, scene, error, warnings);
}

bool SimScene::parse(const QByteArray &json, const QString &origin, SimScene *scene, QString *error,
    QStringList *warnings)
{
    QJsonObject object;
    if (!readJsonObject(json, origin, QStringLiteral("a scene"), &object, error))
        return false;
    Reader reader{object, origin, error, {}};
    reader.warnUnknown({"name", "targets", "clutter", "duration_s"}, warnings);
    SimScene read;
    if (!reader.number("duration_s", 0.0, kMaxSeconds, &read.durationS, false))
        return false;
    const QJsonValue targets = object.value(QLatin1String("targets"));
    if (!targets.isArray())
        return reader.fail(targets.isUndefined()
                ? QStringLiteral("targets is missing")
                : QStringLiteral("targets must be an array of objects"));
    const QJsonArray targetList = targets.toArray();
    for (int k = 0; k < targetList.size(); ++k) {
        const QString where = QStringLiteral("%1: target %2").arg(origin).arg(k + 1);
        if (!targetList[k].isObject()) {
            *error = where + QStringLiteral(": not an object");
            return false;
        }
        SimSceneTarget target;
        if (!readTarget(targetList[k].toObject(), where, &target, error, warnings))
            return false;
        read.targets.push_back(target);
    }
    const QJsonValue clutter = object.value(QLatin1String("clutter"));
    if (!clutter.isUndefined() && !clutter.isArray())
        return reader.fail(QStringLiteral("clutter must be an array of objects"));
    const QJsonArray clutterList = clutter.toArray();
    for (int k = 0; k < clutterList.size(); ++k) {
        const QString where = QStringLiteral("%1: clutter %2").arg(origin).arg(k + 1);
        if (!clutterList[k].isObject()) {
            *error = where + QStringLiteral(": not an object");
            return false;
        }
        const QJsonObject reflectorObject = clutterList[k].toObject();
        Reader reflectorReader{reflectorObject, where, error, {}};
        reflectorReader.warnUnknown({"range_m", "level_db"}, warnings);
        SimTarget reflector;
        if (!reflectorReader.number("range_m", 0.0, kMaxRangeM, &reflector.rangeM, true)
            || !reflectorReader.number(
                "level_db", -kMaxLevelDb, kMaxLevelDb, &reflector.levelDb, false))
            return false;
        read.clutter.push_back(reflector);
    }
    *scene = read;
    return true;
}
