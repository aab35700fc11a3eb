// SPDX-License-Identifier: MIT
#include "simulator.h"

#include "linesettings.h"
#include "radaranalyzer.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// termios names its rates; this is the board's.
static_assert(LineSettings::kBaudRate == 115200, "the simulator's termios rate must follow the line settings");
constexpr speed_t kTermiosSpeed = B115200;

using Clock = std::chrono::steady_clock;

// How often a stream that waits for its reader looks whether one has opened the line.
constexpr int kReaderCheckMs = 20;
// The paces --rate takes, the viewer's replay range: from one frame in 100 s to far more than the
// line carries (1645 of the smallest frames a second).
constexpr double kSlowestRate = 0.01;
constexpr double kFastestRate = 100000;

bool readProbability(const QCommandLineParser &parser, const QString &name, double *out, QString *error)
{
    bool ok = false;
    const double value = parser.value(name).toDouble(&ok);
    if (!ok || value < 0.0 || value > 1.0) {
        *error = QStringLiteral("--%1 wants a probability from 0 to 1, not '%2'").arg(name, parser.value(name));
        return false;
    }
    *out = value;
    return true;
}

// "A,B[,C]": from `least` to all of `fields`, each a finite number.
bool readNumbers(const QString &text, int least, std::initializer_list<double *> fields)
{
    const QStringList parts = text.split(',');
    if (parts.size() < least || parts.size() > int(fields.size()))
        return false;
    auto field = fields.begin();
    for (const QString &piece : parts) {
        bool ok = false;
        **field = piece.trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(**field))
            return false;
        ++field;
    }
    return true;
}

// An imbalance beyond these is a broken channel, as the radar profile has it.
constexpr double kMaxIqGainDb = RadarProfile::kMaxIqGainDb;
constexpr double kMaxIqPhaseDeg = RadarProfile::kMaxIqPhaseDeg;
// The ADC's 12 bits about its mid-scale; an offset stays within them.
constexpr double kMidScale = 2048.0;
constexpr double kTopDigit = 4095.0;
constexpr double kMaxOffset = 2047.0;
// A drift of this many digits a second swings the offset across most of the ADC's range.
constexpr double kMaxDriftPerS = 100.0;
constexpr double kPi = 3.14159265358979323846;
// A person given by --person sways this far (half the swing) over SimSceneTarget's default period.
constexpr double kPersonSwayMm = 1.0;

bool readFrontEnd(const QCommandLineParser &parser, SimulatorOptions &options, QString *error)
{
    SimFrontEnd &front = options.frontEnd;
    if (parser.isSet("iq-imbalance")) {
        const QString text = parser.value("iq-imbalance");
        if (!readNumbers(text, 2, {&front.iqGainDb, &front.iqPhaseDeg}) || std::abs(front.iqGainDb) > kMaxIqGainDb
            || std::abs(front.iqPhaseDeg) > kMaxIqPhaseDeg) {
            *error = QStringLiteral("--iq-imbalance wants GAIN_DB,PHASE_DEG (gain within \u00b1%1 dB, phase within "
                                    "\u00b1%2 degrees), not '%3'")
                         .arg(kMaxIqGainDb)
                         .arg(kMaxIqPhaseDeg)
                         .arg(text);
            return false;
        }
    }
    if (parser.isSet("dc")) {
        const QString text = parser.value("dc");
        if (!readNumbers(text, 2, {&front.dcI, &front.dcQ}) || std::abs(front.dcI) > kMaxOffset
            || std::abs(front.dcQ) > kMaxOffset) {
            *error = QStringLiteral("--dc wants I,Q in digits from mid-scale (each within \u00b1%1), not '%2'")
                         .arg(kMaxOffset)
                         .arg(text);
            return false;
        }
    }
    if (parser.isSet("dc-drift")) {
        const QString text = parser.value("dc-drift");
        if (!readNumbers(text, 1, {&front.dcDriftPerS}) || front.dcDriftPerS < 0.0
            || front.dcDriftPerS > kMaxDriftPerS) {
            *error = QStringLiteral("--dc-drift wants DIGITS_PER_S from 0 to %1, not '%2'").arg(kMaxDriftPerS).arg(text);
            return false;
        }
    }
    for (const QString &text : parser.values("clutter")) {
        SimTarget reflector;
        if (!readNumbers(text, 2, {&reflector.rangeM, &reflector.levelDb}) || reflector.rangeM < 0.0
            || reflector.rangeM > 1e5 || reflector.levelDb > 100.0) {
            *error = QStringLiteral("--clutter wants RANGE_M,LEVEL_DB (range 0 to 100 km, level up to 100 dB), "
                                    "not '%1'")
                         .arg(text);
            return false;
        }
        front.clutter.push_back(reflector);
    }
    return true;
}

const char *const kSceneOptions[] = {"target", "person", "scene", "truth", "iq-imbalance", "dc", "dc-drift", "clutter"};

bool readRadarScene(const QCommandLineParser &parser, SimulatorOptions &options, QString *error)
{
    const QStringList targets = parser.values("target");
    if (!parser.isSet("radar")) {
        for (const char *name : kSceneOptions) {
            if (parser.isSet(name)) {
                *error = QStringLiteral("--%1 needs --radar PROFILE.json").arg(QLatin1String(name));
                return false;
            }
        }
        return true;
    }
    if (!options.replayFile.isEmpty()) {
        *error = QStringLiteral("--radar does not apply to --replay: the file's frames are sent as they are");
        return false;
    }
    if (!RadarProfile::load(parser.value("radar"), &options.radar, error, &options.warnings))
        return false;
    options.radarScene = true;
    options.sceneFile = parser.value("scene");
    if (!options.sceneFile.isEmpty() && !SimScene::load(options.sceneFile, &options.scene, error, &options.warnings))
        return false;
    options.truthFile = parser.value("truth");
    for (const QString &text : targets) {
        SimTarget target;
        if (!readNumbers(text, 2, {&target.rangeM, &target.speedMps, &target.levelDb}) || target.rangeM < 0.0
            || target.rangeM > 1e5 || std::abs(target.speedMps) > 1e4 || target.levelDb > 100.0) {
            *error = QStringLiteral("--target wants RANGE_M,SPEED_MPS[,LEVEL_DB] (range 0 to 100 km, "
                                    "speed within 10 km/s, level up to 100 dB), not '%1'")
                         .arg(text);
            return false;
        }
        options.targets.push_back(target);
    }
    // People at rest join the scene's targets, numbered after the file's.
    for (const QString &text : parser.values("person")) {
        SimSceneTarget person;
        person.swayMm = kPersonSwayMm;
        if (text.count(',') == 3) {
            *error = QStringLiteral("--person '%1': a heartbeat needs both HMM and HPER_MIN (its "
                                    "amplitude in mm and its rate a minute); give both or neither")
                         .arg(text);
            return false;
        }
        if (!readNumbers(text, 3,
                {&person.rangeM, &person.breathMm, &person.breathsPerMin, &person.heartMm,
                    &person.heartPerMin, &person.levelDb})
            || text.count(',') == 3 || person.rangeM <= 0.0 || person.rangeM > 1e5
            || person.breathMm < 0.0 || person.breathMm > 100.0 || person.breathsPerMin < 0.0
            || person.breathsPerMin > 300.0 || person.heartMm < 0.0 || person.heartMm > 100.0
            || person.heartPerMin < 0.0 || person.heartPerMin > 300.0 || person.levelDb > 100.0) {
            *error = QStringLiteral("--person wants R,MM,PER_MIN[,HMM,HPER_MIN[,DB]] (range 0 to "
                                    "100 km, amplitudes up to 100 mm, rates up to 300 a minute, "
                                    "level up to 100 dB), not '%1'")
                         .arg(text);
            return false;
        }
        options.scene.targets.push_back(person);
    }
    return readFrontEnd(parser, options, error);
}

// Where a CW frame shows a reflector moving at `speed`: nothing to say when it is where it is.
QString cwRemark(const RadarProfile &radar, double speed, double floorHz, int samples, bool clutter)
{
    const double fs = radar.sampleRateHz;
    const double hz = radar.frequencyForSpeed(speed);
    // A sampled tone is seen at its frequency wrapped into -fs/2 to fs/2.
    const double seen = std::remainder(hz, fs);
    const bool belowFloor = std::abs(seen) < floorHz;
    const QString floor = QStringLiteral("below the slowest speed the analysis reports (%1 m/s at n = %2): said as "
                                         "slow motion, not as a target")
                              .arg(QString::number(std::abs(radar.speedForFrequency(floorHz)), 'f', 2))
                              .arg(samples);
    if (std::abs(hz) > fs / 2.0) {
        const QString folds = QStringLiteral("%1 m/s is beyond the \u00b1%2 m/s the profile tells apart: ")
                                  .arg(QString::number(speed), QString::number(std::abs(radar.maxSpeed()), 'f', 1));
        const QString at = QString::number(radar.speedForFrequency(seen), 'f', 1);
        return belowFloor ? folds + QStringLiteral("it folds to %1 m/s, ").arg(at) + floor
                          : folds + QStringLiteral("it folds and is reported at %1 m/s").arg(at);
    }
    if (belowFloor && !clutter && speed == 0.0)
        return QStringLiteral("stands still: in CW frames it is learnt with the offset and the clutter, not "
                              "reported");
    return belowFloor && !clutter ? floor : QString();
}

// Where an FMCW frame shows it: its beat tone, moved by the Doppler shift, read on the beat side
// up to fs/2 (range_span half) or up to fs (full); a tone above that wraps round by fs.
QString fmcwRemark(const RadarProfile &radar, const SimTarget &target, double floorHz, int samples, bool clutter)
{
    const double fs = radar.sampleRateHz;
    const double beat = radar.beatSign * radar.fmcwToneHz(target.rangeM, target.speedMps); // > 0: the beat side
    const double spanHz = radar.fullSpan ? fs : fs / 2.0;
    const double wrapped = beat - fs * std::floor(beat / fs); // 0 to fs, from zero along the beat side
    const bool belowFloor = std::min(wrapped, fs - wrapped) < floorHz;
    if (belowFloor && std::abs(beat) < floorHz) {
        if (clutter)
            return QString();
        return QStringLiteral("nearer than the nearest range the analysis reports (%1 m at n = %2): said as too "
                              "near, not as a target")
            .arg(QString::number(radar.rangeForBeat(floorHz), 'f', 2))
            .arg(samples);
    }
    const QString span = QLatin1String(radar.fullSpan ? "full" : "half");
    QString where;
    if (beat < 0.0)
        where = QStringLiteral("its Doppler shift takes its beat tone past zero frequency: ");
    else if (beat >= spanHz)
        where = QStringLiteral("its beat tone (%1 m) is beyond the %2 m the analysis reads (range_span %3): ")
                    .arg(QString::number(radar.rangeForBeat(beat), 'f', 1),
                         QString::number(radar.spanRange(), 'f', 1), span);
    else if (belowFloor) // near the far end of the full span, which meets zero frequency
        return QStringLiteral("its beat tone (%1 m) lies within %2 bins of zero frequency: not reported")
            .arg(QString::number(radar.rangeForBeat(beat), 'f', 1), QString::number(floorHz * samples / fs, 'f', 2));
    else
        return QString();
    if (belowFloor)
        return where + QStringLiteral("it folds to zero frequency and is not reported");
    if (wrapped >= spanHz)
        return where + QStringLiteral("it lies on the side the analysis does not read and is not reported");
    return where + QStringLiteral("it folds and is reported at %1 m")
                       .arg(QString::number(radar.rangeForBeat(wrapped), 'f', 1));
}

// What the user is told about the scene: where a target shows other than where it is, and
// tones that meet the ADC's rails. Everything is still played as the physics makes it.
void warnAboutTheScene(const QCommandLineParser &parser, SimulatorOptions &options)
{
    const int n = options.samples;
    if (n == 0)
        return; // no samples, no tones
    struct Reflector
    {
        QString name;
        SimTarget target;
        bool clutter;
    };
    std::vector<Reflector> reflectors;
    const QStringList targetTexts = parser.values("target");
    const QStringList clutterTexts = parser.values("clutter");
    for (size_t k = 0; k < options.targets.size(); ++k)
        reflectors.push_back({QStringLiteral("target ") + targetTexts.value(int(k)), options.targets[k], false});
    for (size_t k = 0; k < options.frontEnd.clutter.size(); ++k) {
        SimTarget still = options.frontEnd.clutter[k];
        still.speedMps = 0.0;
        reflectors.push_back({QStringLiteral("clutter ") + clutterTexts.value(int(k)), still, true});
    }
    // The scene's moving targets are where they are only for a moment: nothing is said of them.
    for (size_t k = 0; k < options.scene.clutter.size(); ++k)
        reflectors.push_back({QStringLiteral("%1: clutter %2").arg(options.sceneFile).arg(k + 1), options.scene.clutter[k], true});
    const RadarProfile &radar = options.radar;
    const SimFrontEnd &front = options.frontEnd;
    // Frames of one sample have no targets; from two on nothing is reported this near zero.
    const double floorHz = n >= 2 ? RadarAnalyzer::blindBins(SpectrumWindow::Hann, n) * radar.sampleRateHz / n : 0.0;
    // The offset's reach over time: I swings by the drift's radius either way, Q up to twice it.
    const double radius = front.dcDriftPerS * SimFrontEnd::kDcDriftPeriodS / (2.0 * kPi);
    const double gainQ = std::pow(10.0, front.iqGainDb / 20.0);
    const bool offset = front.dcI != 0.0 || front.dcQ != 0.0 || radius != 0.0;
    // People at rest (--person): where an FMCW frame shows them (in CW the whole return is read,
    // wherever they are), and a chest faster than the unwrapping follows from frame to frame.
    const QStringList personTexts = parser.values("person");
    const size_t firstPerson = options.scene.targets.size() - size_t(personTexts.size());
    const double period = options.rate == SimulatorOptions::Rate::Fixed ? 1.0 / options.framesPerSecond
        : options.rate == SimulatorOptions::Rate::Line                    ? BoardModel::linePeriod(n)
                                                                          : 0.0;
    const double modeRate = period > 0.0 ? (options.mode == SimMode::Alternate ? 0.5 : 1.0) / period : 0.0;
    const double quarterMm = 1e3 * RadarProfile::kSpeedOfLight / radar.carrierHz / 4.0;
    for (int k = 0; k < personTexts.size(); ++k) {
        const SimSceneTarget &person = options.scene.targets[firstPerson + size_t(k)];
        const QString name = QStringLiteral("person ") + personTexts[k];
        if (n >= 2 && options.mode != SimMode::Cw) {
            const QString remark = fmcwRemark(radar, SimTarget{person.rangeM, 0.0, person.levelDb}, floorHz, n, false);
            if (!remark.isEmpty())
                options.warnings << name + QStringLiteral(": ") + remark;
        }
        const double peakMmPerS = 2.0 * kPi
            * (person.breathMm * person.breathsPerMin / 60.0 + person.heartMm * person.heartPerMin / 60.0
                + person.swayMm / person.swayPeriodS);
        if (modeRate > 0.0 && peakMmPerS > quarterMm * modeRate)
            options.warnings << name
                    + QStringLiteral(": the chest moves up to %1 mm/s, faster than the phase unwrapping follows at "
                                     "%2 frames/s of a mode (a quarter wavelength, %3 mm, a frame: %4 mm/s)")
                          .arg(QString::number(peakMmPerS, 'f', 1), QString::number(modeRate, 'f', 1),
                               QString::number(quarterMm, 'f', 1), QString::number(quarterMm * modeRate, 'f', 0));
    }
    for (const Reflector &reflector : reflectors) {
        const SimTarget &target = reflector.target;
        QStringList remarks;
        if (n >= 2 && options.mode != SimMode::Fmcw)
            remarks << cwRemark(radar, target.speedMps, floorHz, n, reflector.clutter);
        if (n >= 2 && options.mode != SimMode::Cw)
            remarks << fmcwRemark(radar, target, floorHz, n, reflector.clutter);
        const double amplitude = std::pow(10.0, target.levelDb / 20.0);
        if (kMidScale + std::abs(front.dcI) + std::abs(radius) + amplitude >= kTopDigit
            || kMidScale + front.dcQ + 2.0 * radius + gainQ * amplitude >= kTopDigit
            || kMidScale + front.dcQ - gainQ * amplitude <= 0.0)
            remarks << QStringLiteral("its tone of %1 digits%2 reaches the ADC's rails: frames will be clipped")
                           .arg(std::lround(amplitude))
                           .arg(offset ? QStringLiteral(" with the offset") : QString());
        for (const QString &remark : remarks)
            if (!remark.isEmpty())
                options.warnings << reflector.name + QStringLiteral(": ") + remark;
    }
}

} // namespace

QList<QCommandLineOption> addSimulatorOptions(QCommandLineParser &parser, bool withDevice)
{
    QList<QCommandLineOption> options;
    if (withDevice)
        options.append({"device", "Write to the serial device PATH instead of a new pseudo-terminal.", "PATH"});
    options += QList<QCommandLineOption>{
        {"mode", "cw, fmcw or alternate (default cw).", "MODE", "cw"},
        {"samples", "Samples per channel, 0 to 255 (default 128).", "N", "128"},
        {"count", "Frames to send (default: until interrupted).", "N"},
        {"seed", "Seed: the same seed gives the same bytes (default 1).", "N", "1"},
        {"rate", "line (115200 baud 8N1, default), frames per second (0.01 to 100000), or max. "
                 "With --count, --replay or max the first frame waits for a reader; a live line "
                 "stream drops whole frames while nobody reads, and says so at most once a second. "
                 "At the end the simulator waits until the reader has taken everything (giving up "
                 "after 5 s in which it takes nothing).",
         "RATE", "line"},
        {"junk", "Probability of random bytes (any byte, never a whole valid frame) before a frame.", "P", "0"},
        {"stray-header", "Probability of a false header pair in junk.", "P", "0"},
        {"bad-checksum", "Probability of a frame with a wrong checksum.", "P", "0"},
        {"bad-mode", "Probability of a frame with an invalid mode byte.", "P", "0"},
        {"truncate", "Probability of a frame cut short.", "P", "0"},
        {"replay", "Stream the frames of a recording instead of synthetic ones: a raw capture, a "
                   "line dump, or an h5, csv or jsonl recording (--mode and --samples do not "
                   "apply).", "FILE"},
        {"radar", "Make I and Q from the physics of the radar profile FILE (JSON) and the "
                  "--target and --scene options, instead of the built-in moving target.", "FILE"},
        {"target", "With --radar, a fixed target at RANGE_M metres moving at SPEED_MPS (negative "
                   "approaching), its tone LEVEL_DB dB above one ADC digit (default 50); repeatable. "
                   "CW frames carry its Doppler tone, FMCW frames its beat tone plus the Doppler.",
         "RANGE_M,SPEED_MPS[,LEVEL_DB]"},
        {"person", "With --radar, a person at rest R metres away whose chest moves MM millimetres "
                   "(half the swing) PER_MIN times a minute, with a heartbeat of HMM millimetres "
                   "HPER_MIN times a minute (both or neither; default none), swaying slowly by 1 mm "
                   "over 40 s; the echo DB dB above one ADC digit (default 50); repeatable. People "
                   "are numbered in the truth after the --scene's targets.",
         "R,MM,PER_MIN[,HMM,HPER_MIN[,DB]]"},
        {"scene", "With --radar, targets that come, go and move, from the JSON file FILE: each with "
                  "range_m (at start_s, default 0 s), speed_mps along its straight path (negative "
                  "towards the sensor), lateral_m (the path's closest distance: the target passes "
                  "by, its radial speed turning from approaching to receding; default 0, straight at "
                  "the sensor), end_s (default never) and level_db (default 50); it is in view from "
                  "start_s until end_s. A person at rest: breath_mm and breaths_per_min (then "
                  "speed_mps may be left out), heart_mm, heart_per_min, sway_mm, sway_period_s "
                  "(default 40). Optional clutter [{range_m, level_db}] and duration_s (the "
                  "--count it gives unless set; 0 or none: until stopped). --target adds targets "
                  "that stay where they are.",
         "FILE"},
        {"truth", "With --radar, write each frame's targets to the csv FILE (a regular file) as the "
                  "frames are made: frame,time_s,target,range_m,speed_mps,level_db, where time_s is "
                  "the frame's number times the frame period and range_m is to the micrometre; the "
                  "scene's targets are numbered from 1, --person ones after them, --target ones after "
                  "those. A write that fails ends the stream, said, with exit status 1.",
         "FILE"},
        {"iq-imbalance", "With --radar, Q's channel off from I's: for I = A cos(phi), Q is "
                         "10^(GAIN_DB/20) A sin(phi + PHASE_DEG); within \u00b16 dB and \u00b130 degrees. "
                         "Each tone gets a mirror image on the other side of the spectrum.",
         "GAIN_DB,PHASE_DEG"},
        {"dc", "With --radar, a steady offset of I and Q from mid-scale, in digits (each within "
               "\u00b12047). A tone that meets the ADC's rails with the offset is clipped, as on "
               "the board, and said on standard error.",
         "I,Q"},
        {"dc-drift", "With --radar, the offset wanders by up to DIGITS_PER_S digits a second (0 to "
                     "100), a slow circle of 120 s.",
         "DIGITS_PER_S"},
        {"clutter", "With --radar, a reflector that stands still at RANGE_M metres, its tone LEVEL_DB "
                    "dB above one ADC digit; repeatable.",
         "RANGE_M,LEVEL_DB"},
    };
    parser.addOptions(options);
    return options;
}

bool readSimulatorOptions(const QCommandLineParser &parser, SimulatorOptions &options, QString *error)
{
    options.replayFile = parser.value("replay");
    if (!options.replayFile.isEmpty()) {
        for (const char *name : {"mode", "samples"}) {
            if (parser.isSet(name)) {
                *error = QStringLiteral("--%1 does not apply to --replay: the file's frames are sent as they are").arg(QLatin1String(name));
                return false;
            }
        }
    }

    if (!readRadarScene(parser, options, error))
        return false;

    const QString mode = parser.value("mode");
    if (mode == "cw")
        options.mode = SimMode::Cw;
    else if (mode == "fmcw")
        options.mode = SimMode::Fmcw;
    else if (mode == "alternate")
        options.mode = SimMode::Alternate;
    else {
        *error = QStringLiteral("--mode wants cw, fmcw or alternate, not '%1'").arg(mode);
        return false;
    }
    if (options.radarScene && options.mode != SimMode::Cw && !options.radar.hasSweep()) {
        *error = QStringLiteral("--mode %1 needs bandwidth_hz and sweep_s in the radar profile %2")
                     .arg(mode, parser.value("radar"));
        return false;
    }
    bool ok = false;
    options.samples = parser.value("samples").toInt(&ok);
    if (!ok || options.samples < 0 || options.samples > 255) {
        *error = QStringLiteral("--samples wants a number from 0 to 255, not '%1'").arg(parser.value("samples"));
        return false;
    }
    if (parser.isSet("count")) {
        options.count = parser.value("count").toLongLong(&ok);
        if (!ok || options.count < 0) {
            *error = QStringLiteral("--count wants a number of frames, not '%1'").arg(parser.value("count"));
            return false;
        }
    }
    options.seed = parser.value("seed").toUInt(&ok);
    if (!ok) {
        *error = QStringLiteral("--seed wants a number from 0 to 4294967295, not '%1'").arg(parser.value("seed"));
        return false;
    }

    const QString rate = parser.value("rate");
    if (rate == "line") {
        options.rate = SimulatorOptions::Rate::Line;
    } else if (rate == "max") {
        options.rate = SimulatorOptions::Rate::Max;
    } else {
        options.rate = SimulatorOptions::Rate::Fixed;
        options.framesPerSecond = rate.toDouble(&ok);
        if (!ok || !(options.framesPerSecond >= kSlowestRate)
            || !(options.framesPerSecond <= kFastestRate)) {
            *error = QStringLiteral("--rate wants line, max or 0.01 to 100000 frames per second, "
                                    "not '%1'")
                         .arg(rate);
            return false;
        }
    }

    if (!parser.isSet("count") && options.scene.durationS > 0.0) {
        const double period = options.rate == SimulatorOptions::Rate::Fixed ? 1.0 / options.framesPerSecond
                                                                            : BoardModel::linePeriod(options.samples);
        options.count = int64_t(std::ceil(options.scene.durationS / period));
    }

    if (!readProbability(parser, "junk", &options.faults.junk, error)
        || !readProbability(parser, "stray-header", &options.faults.strayHeader, error)
        || !readProbability(parser, "bad-checksum", &options.faults.badChecksum, error)
        || !readProbability(parser, "bad-mode", &options.faults.badMode, error)
        || !readProbability(parser, "truncate", &options.faults.truncate, error))
        return false;
    if (options.radarScene)
        warnAboutTheScene(parser, options);
    return true;
}

Simulator::Simulator(const SimulatorOptions &options)
    : options(options)
    , model(options.mode, options.samples, options.seed)
    , faults(options.faults, options.seed)
{
    if (options.radarScene) {
        model.setRadarScene(options.radar, options.targets);
        model.setScene(options.radar, options.scene);
        model.setFrontEnd(options.frontEnd);
    }
    if (options.rate == SimulatorOptions::Rate::Fixed && options.framesPerSecond > 0.0)
        model.setFramePeriod(1.0 / options.framesPerSecond);
}

Simulator::~Simulator()
{
    if (fd >= 0)
        ::close(fd);
    if (heldSlaveFd >= 0)
        ::close(heldSlaveFd);
}

void Simulator::setReplayFrames(std::vector<QByteArray> frames)
{
    replayFrames = std::move(frames);
}

bool Simulator::openTruth(const QString &path, QString *error)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        *error = QStringLiteral("--truth %1 is not a regular file").arg(path);
        return false;
    }
    truth.setFileName(path);
    if (!truth.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        *error = QStringLiteral("cannot write --truth %1: %2").arg(path, truth.errorString());
        return false;
    }
    const QByteArray header = "frame,time_s,target,range_m,speed_mps,level_db\n";
    if (truth.write(header) != header.size()) {
        *error = QStringLiteral("cannot write --truth %1: %2").arg(path, truth.errorString());
        return false;
    }
    return true;
}

bool Simulator::openPseudoTerminal(QString *slavePath, QString *error)
{
    int master = -1, slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        *error = QStringLiteral("cannot open a pseudo-terminal: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    termios settings {};
    ::tcgetattr(slave, &settings);
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, kTermiosSpeed);
    ::tcsetattr(slave, TCSANOW, &settings);
    this->slavePath = name;
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    fd = master;
    heldSlaveFd = slave;
    *slavePath = QString::fromLocal8Bit(name);
    return true;
}

bool Simulator::openDevice(const QString &path, QString *error)
{
    const int device = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (device < 0) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    termios settings {};
    if (::tcgetattr(device, &settings) != 0) {
        *error = QStringLiteral("%1 is not a serial device: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        ::close(device);
        return false;
    }
    // The viewer's line: 115200 baud, 8 data bits, no parity, one stop bit, RTS/CTS.
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, kTermiosSpeed);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8 | CLOCAL | CRTSCTS;
    ::tcsetattr(device, TCSANOW, &settings);
    fd = device;
    return true;
}

bool Simulator::nextSlot(QByteArray &slot, bool *faulty)
{
    if (options.count >= 0 && index >= options.count)
        return false;
    QByteArray frame;
    if (!replayFrames.empty()) {
        if (index >= int64_t(replayFrames.size()))
            return false;
        frame = replayFrames[size_t(index)];
    } else {
        frame = encodeFrame(model.frame(index));
        if (truth.isOpen()) {
            const QString seconds = QString::number(model.secondsAt(index), 'f', 6);
            QByteArray rows;
            for (const SimTargetTruth &target : model.truth(index))
                rows += QStringLiteral("%1,%2,%3,%4,%5,%6\n")
                            .arg(index)
                            .arg(seconds)
                            .arg(target.target)
                            .arg(QString::number(target.rangeM, 'f', 6), QString::number(target.speedMps, 'f', 4),
                                 QString::number(target.levelDb, 'g', 6))
                            .toLatin1();
            if (truth.write(rows) != rows.size()) {
                // The truth is whole or said to be cut: no frame is made that it does not hold.
                truthFailure = truth.errorString();
                return false;
            }
        }
    }
    slot.clear();
    *faulty = faults.append(slot, frame);
    ++index;
    return true;
}

bool Simulator::drain()
{
    while (!pending.isEmpty()) {
        const ssize_t written = ::write(fd, pending.constData(), size_t(pending.size()));
        if (written > 0) {
            counters.bytes += written;
            bytesWritten += written;
            pending.remove(0, int(written));
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        return false; // full (EAGAIN) or the line is gone
    }
    return true;
}

bool Simulator::waitWritable(int timeoutMs)
{
    pollfd waitFor {fd, POLLOUT, 0};
    const int ready = ::poll(&waitFor, 1, timeoutMs);
    return ready > 0 && (waitFor.revents & POLLOUT);
}

void Simulator::run(const std::function<bool()> &stopRequested,
                    const std::function<void(const QString &)> &notice)
{
    auto say = [&notice](const QString &text) {
        if (notice)
            notice(text);
    };
    if (options.count == 0)
        return; // nothing to send, so no reader to wait for
    bool readerStalled = false;
    Clock::time_point stallStart;
    Clock::time_point lastSaid = Clock::now() - std::chrono::seconds(2);
    const auto seconds = [](Clock::duration span) { return std::chrono::duration<double>(span).count(); };
    const auto endStall = [&](Clock::time_point now) {
        const double spell = seconds(now - stallStart);
        stallsUnsaid.seconds += spell;
        stallsInAll.seconds += spell;
        readerStalled = false;
    };
    // What the spells since the last line came to, said once the reader reads again (or the stream
    // ends) and a second after the line before: a reader that takes the line for a moment a
    // hundred times a second gets a line a second, one that never comes gets none until it does.
    const auto sayStalls = [&](Clock::time_point now, bool atEnd) {
        if (stallsUnsaid.dropped == 0 || (!atEnd && (readerStalled || now - lastSaid < std::chrono::seconds(1))))
            return;
        say(QStringLiteral("%1nobody read the line for %2 s in %3 spell%4, %5 frame%6 dropped")
                .arg(atEnd ? QString() : QStringLiteral("a reader took the line again: "))
                .arg(stallsUnsaid.seconds, 0, 'f', 1)
                .arg(stallsUnsaid.spells)
                .arg(stallsUnsaid.spells == 1 ? QString() : QStringLiteral("s"))
                .arg(stallsUnsaid.dropped)
                .arg(stallsUnsaid.dropped == 1 ? QString() : QStringLiteral("s")));
        stallsUnsaid = Stalls();
        lastSaid = now;
    };
    const bool waitsForReader = options.count >= 0 || !replayFrames.empty() || options.rate == SimulatorOptions::Rate::Max;
    if (waitsForReader && !waitForReader(stopRequested))
        return;
    auto due = Clock::now();
    QByteArray slot;
    bool faulty = false;
    while (!stopRequested()) {
        if (options.rate != SimulatorOptions::Rate::Max) {
            // Sleep until the frame is due, writing out the rest of the last one meanwhile.
            for (auto now = Clock::now(); now < due && !stopRequested(); now = Clock::now()) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
                const int timeout = int(std::min<int64_t>(std::max<int64_t>(left, 1), 100));
                if (pending.isEmpty() || !waitWritable(timeout)) {
                    if (pending.isEmpty())
                        ::poll(nullptr, 0, timeout);
                    continue;
                }
                drain();
            }
        }
        if (stopRequested())
            break;
        if (!drain()) {
            if (options.rate == SimulatorOptions::Rate::Max) {
                waitWritable(100); // as fast as the reader takes them
                continue;
            }
            // Nobody is taking the line's bytes: drop this frame rather than block or pile up.
            if (!nextSlot(slot, &faulty))
                break;
            ++counters.dropped;
            ++stallsUnsaid.dropped;
            ++stallsInAll.dropped;
            if (!readerStalled) {
                const auto now = Clock::now();
                // The first spell after a quiet second is said at once; the rest in the sums.
                if (stallsUnsaid.spells == 0 && now - lastSaid >= std::chrono::seconds(1)) {
                    say(QStringLiteral("nobody is reading the line: dropping frames until a reader takes them"));
                    lastSaid = now;
                }
                ++stallsUnsaid.spells;
                ++stallsInAll.spells;
                stallStart = now;
                readerStalled = true;
            }
        } else {
            if (readerStalled)
                endStall(Clock::now());
            sayStalls(Clock::now(), false);
            if (!nextSlot(slot, &faulty))
                break;
            pending = slot;
            pendingFaulty = faulty;
            ++counters.frames;
            counters.faulty += faulty ? 1 : 0;
            recent.push_back({bytesWritten + pending.size(), faulty});
            // Only the frames that can still be in the line are needed, a few kilobytes' worth.
            while (recent.size() > 1 && recent.front().end < bytesWritten - (1 << 20))
                recent.pop_front();
            drain();
        }
        if (options.rate != SimulatorOptions::Rate::Max) {
            const double seconds = options.rate == SimulatorOptions::Rate::Line
                ? LineSettings::secondsFor(slot.size())
                : 1.0 / options.framesPerSecond;
            due += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
            // After a long stall, start a fresh schedule rather than burst to catch up.
            if (Clock::now() - due > std::chrono::seconds(1))
                due = Clock::now();
        }
    }
    if (readerStalled)
        endStall(Clock::now());
    sayStalls(Clock::now(), true);
    if (truth.isOpen() && !truth.flush() && truthFailure.isEmpty())
        truthFailure = truth.errorString();
    // Finish the frame that was started, for up to a second, so the stream ends on a whole frame.
    for (int tries = 0; tries < 10 && !drain(); ++tries)
        waitWritable(100);
    if (!pending.isEmpty()) {
        --counters.frames;
        counters.faulty -= pendingFaulty ? 1 : 0;
        recent.pop_back();
        say(QStringLiteral("the last frame could not be finished: %1 bytes unsent").arg(pending.size()));
        pending.clear();
    }
    // Closing the line discards what the reader has not taken yet: give it the time to take it.
    if (!stopRequested())
        waitUntilRead(stopRequested);
    const int64_t unread = bytesInLine() > 0 ? takeUnread() : 0;
    if (unread > 0) {
        uncountUnread(unread);
        say(QStringLiteral("the reader did not take the last %1 frames (%2 bytes): they are not counted as sent")
                .arg(counters.unreadFrames)
                .arg(counters.unreadBytes));
    }
}

bool Simulator::waitForReader(const std::function<bool()> &stopRequested)
{
    if (heldSlaveFd < 0)
        return true; // a real device: its far end cannot be seen
    // While no one has the slave side open, the master reports a hang-up: let go of our own hold
    // until a reader opens it, then take it again to keep the line up after the reader closes.
    ::close(heldSlaveFd);
    heldSlaveFd = -1;
    // The hang-up is reported at once, so poll cannot be the wait: look, then sleep a little.
    bool readerCame = false;
    while (!stopRequested()) {
        pollfd line {fd, 0, 0};
        if (::poll(&line, 1, 0) >= 0 && !(line.revents & POLLHUP)) {
            readerCame = true;
            break;
        }
        ::poll(nullptr, 0, kReaderCheckMs);
    }
    heldSlaveFd = ::open(slavePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    return readerCame;
}

int64_t Simulator::bytesInLine() const
{
    int queued = 0;
    // On a pseudo-terminal the bytes wait on the slave side, on a device in its output queue.
    // The slave's count is only what its reader can take at once: more may wait behind it.
    if (heldSlaveFd >= 0 ? ::ioctl(heldSlaveFd, FIONREAD, &queued) != 0 : ::ioctl(fd, TIOCOUTQ, &queued) != 0)
        return 0;
    return queued;
}

int64_t Simulator::takeUnread()
{
    if (heldSlaveFd < 0)
        return bytesInLine();
    // The reader has given up; closing the line would discard these bytes anyway. Reading them out
    // counts them all, the ones queued behind the slave's count too.
    int64_t unread = 0;
    char sink[4096];
    for (;;) {
        pollfd line {heldSlaveFd, POLLIN, 0};
        if (::poll(&line, 1, 20) <= 0 || !(line.revents & POLLIN))
            break;
        const ssize_t got = ::read(heldSlaveFd, sink, sizeof sink);
        if (got <= 0)
            break;
        unread += got;
    }
    return unread;
}

void Simulator::waitUntilRead(const std::function<bool()> &stopRequested)
{
    auto lastProgress = Clock::now();
    int64_t left = bytesInLine();
    int emptyChecks = 0;
    // The kernel moves bytes into the reader's queue in steps: an empty queue is believed only
    // when it stays empty.
    while (emptyChecks < 3 && !stopRequested()
           && Clock::now() - lastProgress < std::chrono::milliseconds(kDrainTimeoutMs)) {
        ::poll(nullptr, 0, 10);
        const int64_t now = bytesInLine();
        emptyChecks = now == 0 ? emptyChecks + 1 : 0;
        if (now < left)
            lastProgress = Clock::now();
        left = now;
    }
}

void Simulator::uncountUnread(int64_t unread)
{
    const int64_t readUpTo = bytesWritten - unread;
    for (auto it = recent.rbegin(); it != recent.rend() && it->end > readUpTo; ++it) {
        ++counters.unreadFrames;
        --counters.frames;
        counters.faulty -= it->faulty ? 1 : 0;
    }
    counters.unreadBytes = unread;
    counters.bytes -= unread;
}

QString Simulator::summary() const
{
    return QStringLiteral("sent: %1 frames, %2 bytes, %3 faulty").arg(counters.frames).arg(counters.bytes).arg(counters.faulty);
}

QString Simulator::droppedSummary() const
{
    if (stallsInAll.dropped == 0)
        return QString();
    return QStringLiteral("in all nobody read the line for %1 s in %2 spell%3, %4 frame%5 dropped")
        .arg(stallsInAll.seconds, 0, 'f', 1)
        .arg(stallsInAll.spells)
        .arg(stallsInAll.spells == 1 ? QString() : QStringLiteral("s"))
        .arg(stallsInAll.dropped)
        .arg(stallsInAll.dropped == 1 ? QString() : QStringLiteral("s"));
}
