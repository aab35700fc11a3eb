// SPDX-License-Identifier: MIT
// vazorez-decode FILE: decodes a raw capture or any dump of the line's bytes, offline, by the same
// rules as the live viewer; converts an h5, csv or jsonl recording into another format.
#include "capturereader.h"
#include "framewriter.h"
#include "hdf5recording.h"
#include "iqcalibration.h"
#include "outputfile.h"
#include "profilefile.h"
#include "stalledstop.h"
#include "stopsignals.h"
#include "targetwriter.h"
#include "toolcli.h"
#include "vitalswriter.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <optional>

namespace {

// The tracker's options; false with a one-line error for a value out of its range.
bool readTrackerOptions(const QCommandLineParser &parser, TrackerSettings *tracking, QString *error)
{
    const auto number = [&](const QString &text, double least, double *value) {
        bool ok = false;
        const double read = text.trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(read) || read < least)
            return false;
        *value = read;
        return true;
    };
    if (!number(parser.value("gate"), 0.1, &tracking->gateBins) || tracking->gateBins > 50.0) {
        *error = QStringLiteral("--gate wants bins from 0.1 to 50, not '%1'").arg(parser.value("gate"));
        return false;
    }
    const QStringList confirm = parser.value("confirm").split('/');
    bool mOk = false, nOk = false;
    const int hits = confirm.size() == 2 ? confirm[0].toInt(&mOk) : 0;
    const int frames = confirm.size() == 2 ? confirm[1].toInt(&nOk) : 0;
    if (!mOk || !nOk || hits < 1 || frames < hits || frames > 100) {
        *error = QStringLiteral("--confirm wants M/N with 1 <= M <= N <= 100, not '%1'")
                     .arg(parser.value("confirm"));
        return false;
    }
    tracking->confirmHits = hits;
    tracking->confirmFrames = frames;
    bool missesOk = false;
    tracking->dropMisses = parser.value("misses").toInt(&missesOk);
    if (!missesOk || tracking->dropMisses < 1 || tracking->dropMisses > 1000) {
        *error = QStringLiteral("--misses wants frames from 1 to 1000, not '%1'").arg(parser.value("misses"));
        return false;
    }
    if (!number(parser.value("drop"), 0.01, &tracking->dropSeconds)) {
        *error = QStringLiteral("--drop wants seconds from 0.01 on, not '%1'").arg(parser.value("drop"));
        return false;
    }
    if (!number(parser.value("presence-speed"), 0.0, &tracking->presenceMinSpeedMps)) {
        *error = QStringLiteral("--presence-speed wants m/s, not '%1'").arg(parser.value("presence-speed"));
        return false;
    }
    if (!number(parser.value("hold"), 0.0, &tracking->presenceHoldSeconds)) {
        *error = QStringLiteral("--hold wants seconds, not '%1'").arg(parser.value("hold"));
        return false;
    }
    // MIN:MAX, either side may be left empty: 0 and no limit; MIN alone: no limit.
    QString rangeText = parser.value("presence-range");
    if (!rangeText.contains(':'))
        rangeText += ':';
    const QStringList range = rangeText.split(':');
    tracking->presenceMinRangeM = 0.0;
    tracking->presenceMaxRangeM = 1e9;
    if (range.size() != 2
        || (!range[0].trimmed().isEmpty()
            && !number(range[0], 0.0, &tracking->presenceMinRangeM))
        || (!range[1].trimmed().isEmpty()
            && !number(range[1], 0.0, &tracking->presenceMaxRangeM))
        || tracking->presenceMaxRangeM <= tracking->presenceMinRangeM) {
        *error = QStringLiteral("--presence-range wants MIN:MAX in metres (MAX above MIN; either "
                                "may be left out), not '%1'")
                     .arg(parser.value("presence-range"));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName("vazorez-decode");
    qInstallMessageHandler(printAllButDebug);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Decodes FILE (a raw capture or a dump of the serial line; - for standard input; or an "
        "h5,\n"
        "csv or jsonl recording) into csv, jsonl, raw or h5, exactly as the live viewer would. "
        "For\n"
        "the line's bytes time_s is reconstructed: the time at which the frame's last byte would\n"
        "have arrived on the 115200-baud line, counted from the file's first byte. A recording\n"
        "keeps the times it was recorded with; csv and jsonl do not hold byte 3 of a frame, which\n"
        "comes out as 0 in raw or h5.\n"
        "Exit status: 0 done, 1 FILE cannot be read, holds no frame, or the output cannot be\n"
        "written (then no output file is left behind), 2 bad options or a radar profile that is\n"
        "missing, not JSON or refused, 128 + the signal's number when Ctrl-C, SIGTERM or SIGHUP\n"
        "stopped it (the output file is not made, or keeps what it held; a pipe keeps what it\n"
        "took).\n"
        "With --radar PROFILE.json --targets it writes the targets the analysis finds instead:\n"
        "csv frame,time_s,mode,rank,range_m,speed_mps,level_db,snr_db (a row per target, rank 1\n"
        "the strongest; speed in m/s, negative approaching, for CW; range in m for FMCW), or "
        "jsonl\n"
        "with one object per frame and its list of targets (and images, clipped, slow_motion or\n"
        "too_near when there are). The offset at zero frequency is learnt over the first frames\n"
        "of each mode: from the 16th on nothing is reported within 0.75 bin of zero frequency\n"
        "(hann; 1 blackman-harris, 0.5 none), before that within 1.5 bins (2.25, 1): with the\n"
        "example profile at n = 128 no speed under 0.73 m/s and no range under 0.45 m. Something\n"
        "there is said as slow_motion or too_near. A CW speed beyond the profile's unambiguous\n"
        "speed folds; an FMCW target beyond its range is not reported with range_span half and\n"
        "read up to twice as far with full; beyond that it folds.\n"
        "With --calibrate it estimates the front end's I/Q imbalance from FILE's frames (CW and\n"
        "FMCW; frames of fewer than 16 samples and frames at the ADC's limits are left out) and\n"
        "writes the radar profile (--radar, or FILE.radar.json) with iq_gain_db and iq_phase_deg\n"
        "set to -o OUT.json (- or none: standard output). It wants about 30 s of frames (at least\n"
        "100) with something moving in front of the sensor: the offset and what stands still are\n"
        "taken out first. One line on standard error gives the figures and the image rejection\n"
        "before the correction and about what is left after it (from the estimate's spread). A\n"
        "recording that cannot tell (too few frames, nothing moving, mostly clipped) is refused\n"
        "with the reason, exit status 1, and no output.\n"
        "With --tracks, --passes or --presence (and a profile) the targets go through the\n"
        "tracker: per mode each frame's targets are gated (--gate bins round a track's\n"
        "prediction), followed by an alpha-beta filter, confirmed after M hits in the first N\n"
        "frames (--confirm M/N) and ended after --misses frames of their mode in a row without a\n"
        "hit (or --drop seconds). CW tracks follow the speed, FMCW ones the range and its rate;\n"
        "on an alternating board a CW track and an FMCW track that can only be one another are\n"
        "tied: the CW speed takes the Doppler shift out of the FMCW range and carries it for up\n"
        "to 3 s without FMCW hits (a walker crossing a standing echo's range). --tracks writes\n"
        "frame,time_s,mode,track,range_m,speed_mps,level_db for each confirmed track with a hit\n"
        "in the frame; --passes a row per confirmed track's life as it ends: track,mode,start_s,\n"
        "end_s,frames,max_speed_mps (either way, the largest median of three hits in a row),\n"
        "min_range_m (where a range is known),direction (of the speed at its largest); --presence\n"
        "time_s,present (1 or 0) at the first frame and at every change: present while a\n"
        "confirmed track moves at --presence-speed or faster within --presence-range (where its\n"
        "range is known), and for --hold seconds after. Where time goes back in FILE everything starts afresh (the tracks\n"
        "going end there; track numbers go on rising).\n"
        "--vitals writes a person at rest: csv time_s,displacement_mm,breaths_per_min,\n"
        "heart_per_min,quality, a row per frame of the mode read (CW frames, or FMCW ones at\n"
        "--vitals-range R metres or else at the nearest confirmed track), or jsonl alike. The\n"
        "displacement (positive away) is the echo's unwrapped phase round the circle its values\n"
        "lie on; the rates come from its spectrum over 30 s (breathing 6 to 42 a minute, the\n"
        "heart 48 to 120 where the mode gives 8 frames a second), each cell empty where there is\n"
        "no estimate: before the first 15 s of displacement, at a quality (0 to 1) below 0.5, or\n"
        "while the person moves.");
    parser.addHelpOption();
    parser.addPositionalArgument("FILE", "Bytes as they came off the line, or a recording.");
    FrameWriter::addOutputOptions(parser);
    parser.addOptions({
        {"radar",
            "The radar profile (JSON) for --targets, --tracks, --passes, --presence, --vitals "
            "and --calibrate; without it, FILE.radar.json "
            "(written beside a recording the viewer made with a profile) when there is one.",
            "PROFILE"},
        {"targets", "Write each frame's targets (needs a profile) instead of its samples."},
        {"calibrate",
            "Estimate the I/Q imbalance and write the profile with it (needs a profile; not "
            "with --targets or --format)."},
        {"tracks", "Write the tracks (needs a profile) instead of the samples."},
        {"passes", "Write the passes: each confirmed track's life (needs a profile)."},
        {"presence", "Write when presence changes (needs a profile)."},
        {"vitals", "Write the displacement and the breathing and heart rates of a person at rest "
                   "(needs a profile)."},
        {"vitals-range", "Vitals: read the FMCW frames' cell at this range, within what the "
                         "profile reads (default: CW frames, or the nearest track on an FMCW "
                         "board).", "METRES"},
        {"gate", "Tracks: the gate round a track's prediction, in bins (default 2).", "BINS", "2"},
        {"confirm", "Tracks: confirmed after M hits in the first N frames (default 3/5).", "M/N",
            "3/5"},
        {"misses", "Tracks: ended after N frames of their mode in a row without a hit "
                   "(default 3).", "N", "3"},
        {"drop", "Tracks: ended after this long without a hit (default 1 s).", "SECONDS", "1"},
        {"presence-speed", "Presence: the least speed that counts (default 0.3 m/s).", "MPS",
            "0.3"},
        {"presence-range",
            "Presence: the range gate MIN:MAX in metres, either left out for no limit (default\n"
            "0: any range).", "MIN:MAX", "0:"},
        {"hold", "Presence: held this long after the last detection (default 3 s).", "SECONDS",
            "3"},
        {"window", "The window for --targets: hann (default), blackman-harris or none.", "WINDOW",
            "hann"},
        {"note", "Keep TEXT with an h5 output (its note attribute).", "TEXT"},
    });
    if (const auto exitCode = parseArguments(parser))
        return *exitCode;
    if (parser.positionalArguments().size() != 1)
        return usageError(QStringLiteral("give exactly one FILE"));
    FrameWriter::Format format;
    QString error;
    if (!FrameWriter::formatFromOptions(parser, &format, &error))
        return usageError(error);
    const bool calibrate = parser.isSet("calibrate");
    // What is written instead of the samples: at most one of these.
    QStringList analyses;
    for (const char *name : {"targets", "tracks", "passes", "presence", "vitals", "calibrate"})
        if (parser.isSet(name))
            analyses << QStringLiteral("--%1").arg(name);
    if (analyses.size() > 1)
        return usageError(
            QStringLiteral("%1 each write their own output: give one of them").arg(analyses.join(", ")));
    const bool analysing = !analyses.isEmpty() && !calibrate;
    const TargetWriter::Kind kind = parser.isSet("tracks") ? TargetWriter::Kind::Tracks
        : parser.isSet("passes")                        ? TargetWriter::Kind::Passes
        : parser.isSet("presence")                      ? TargetWriter::Kind::Presence
                                                        : TargetWriter::Kind::Targets;
    TrackerSettings tracking;
    if (!readTrackerOptions(parser, &tracking, &error))
        return usageError(error);
    const bool vitals = parser.isSet("vitals");
    double vitalsRange = qQNaN();
    if (parser.isSet("vitals-range")) {
        bool ok = false;
        vitalsRange = parser.value("vitals-range").toDouble(&ok);
        if (!vitals)
            return usageError(QStringLiteral("--vitals-range goes with --vitals"));
        if (!ok || !std::isfinite(vitalsRange) || vitalsRange < 0.0 || vitalsRange > 1e5)
            return usageError(QStringLiteral("--vitals-range wants metres from 0 to 100000, not '%1'")
                                  .arg(parser.value("vitals-range")));
        // 0 is the sensor itself, no cell a person sits in; the pane's range box reads its 0 as
        // no range, which here is leaving the option out.
        if (vitalsRange == 0.0)
            return usageError(QStringLiteral("--vitals-range 0 is the sensor itself: give the "
                                             "person's range in metres, or leave it out to read "
                                             "the CW frames or follow the nearest track"));
    }
    if (calibrate && parser.isSet("format"))
        return usageError(QStringLiteral("--calibrate writes a radar profile (JSON), not %1")
                              .arg(parser.value("format")));
    if (parser.isSet("radar") && analyses.isEmpty())
        return usageError(QStringLiteral(
            "--radar goes with --targets, --tracks, --passes, --presence, --vitals or --calibrate"));
    // The profile is written whole to a file (or to standard output), never into a pipe or a
    // device half-way.
    const QString output = parser.value("output");
    const bool toStandardOutput = output.isEmpty() || output == QLatin1String("-");
    if (calibrate && !toStandardOutput && QFileInfo::exists(output) && !QFileInfo(output).isFile())
        return usageError(QStringLiteral("--calibrate writes the profile to a file or to "
                                         "standard output (-), and %1 is not a file")
                              .arg(output));
    const QString input = parser.positionalArguments().first();
    RadarProfile profile;
    RadarSettings settings;
    if (!spectrumWindowFromName(parser.value("window"), &settings.window))
        return usageError(QStringLiteral("--window wants hann, blackman-harris or none, not '%1'")
                              .arg(parser.value("window")));
    if (analysing && format != FrameWriter::Format::Csv && format != FrameWriter::Format::Jsonl)
        return usageError(QStringLiteral("%1 writes csv or jsonl, not %2")
                              .arg(analyses.first(), format == FrameWriter::Format::Raw ? "raw" : "h5"));
    // Without --radar, the profile a recording was made with: beside it, or kept in it (h5). A
    // conversion to h5 keeps it in the new recording's session.
    bool profileFound = false;
    if (parser.isSet("radar")) {
        QStringList warnings;
        if (!RadarProfile::load(parser.value("radar"), &profile, &error, &warnings))
            return usageError(error);
        for (const QString &warning : warnings)
            std::fprintf(stderr, "vazorez-decode: %s\n", qPrintable(warning));
        profileFound = true;
    } else if (!analyses.isEmpty() || format == FrameWriter::Format::Hdf5) {
        setEmbeddedProfileReader(&Hdf5Recording::radarProfileOf);
        QString origin;
        const RadarSidecar found = loadRadarSidecar(input, &profile, &error, &origin);
        profileFound = found == RadarSidecar::Loaded;
        const bool needed = !analyses.isEmpty();
        const QString option = needed ? analyses.first() : QString();
        if (found == RadarSidecar::Refused && needed)
            return usageError(error);
        if (found == RadarSidecar::Refused)
            std::fprintf(stderr, "vazorez-decode: %s; the h5 recording keeps no radar profile\n",
                qPrintable(error));
        else if (!profileFound && needed)
            return usageError(input == QLatin1String("-")
                    ? QStringLiteral("%1 needs --radar PROFILE.json").arg(option)
                    : QStringLiteral("%1 needs --radar PROFILE.json (or %2)")
                          .arg(option, radarSidecarPath(input)));
        else if (profileFound && needed)
            std::fprintf(stderr, "vazorez-decode: radar profile from %s\n", qPrintable(origin));
    }

    if (vitals && !std::isnan(vitalsRange) && !profile.hasSweep())
        return usageError(QStringLiteral("--vitals-range needs bandwidth_hz and sweep_s in the "
                                         "radar profile"));
    // Beyond the span, or nearer than the nearest cell at any n: refused before reading. (The
    // nearest at the frames' own n is checked at the first FMCW frame.)
    if (vitals && !std::isnan(vitalsRange)) {
        const QString refusal = VitalsEstimator::rangeRefusal(profile, vitalsRange, 0);
        if (!refusal.isEmpty())
            return usageError(QStringLiteral("--vitals-range ") + refusal);
    }

    // A stop ends the conversion between two frames: the output file is not made (its temporary
    // is removed) and the tool says so. A second one waits for that, and then ends it at once.
    StopSignals stopSignals;
    stopSignals.holdFromFirstSignal();
    if (!stopSignals.install([] {}, &error,
            calibrate ? QStringLiteral("stopping the calibration")
                      : QStringLiteral("stopping the conversion")))
        return toolError(error);
    const auto stopped = [](const QString &left) {
        std::fprintf(stderr, "vazorez-decode: stopped; %s\n", qPrintable(left));
        return StopSignals::stoppedExitStatus();
    };
    StalledStop stalledStop("vazorez-decode");
    CaptureReader reader(input);
    if (!reader.open())
        return StopSignals::caught() ? stopped(QStringLiteral("nothing was written"))
                                     : toolError(reader.errorString());
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN); // a closed pipe is a write error we report, not a silent death
#endif
    if (calibrate) {
        // Nothing is written until every frame is read and the estimate stands.
        IqCalibrator calibrator;
        RecordedFrame frame;
        while (!StopSignals::caught() && reader.next(frame))
            calibrator.add(frame.record, frame.seconds);
        stalledStop.takeOver();
        if (StopSignals::caught()) {
            const int code = stopped(toStandardOutput || !QFileInfo::exists(output)
                    ? QStringLiteral("nothing was written")
                    : OutputFile::untouched(output));
            stopSignals.release();
            return code;
        }
        if (reader.failed())
            return toolError(reader.errorString());
        const IqCalibration estimate = calibrator.result();
        if (!estimate.ok)
            return toolError(
                QStringLiteral("cannot calibrate from %1: %2").arg(reader.name(), estimate.refusal));
        profile.iqGainDb = std::round(estimate.gainDb * 1000.0) / 1000.0;
        profile.iqPhaseDeg = std::round(estimate.phaseDeg * 1000.0) / 1000.0;
        if (toStandardOutput) {
            const QByteArray json = radarProfileJson(profile);
            if (std::fwrite(json.constData(), 1, size_t(json.size()), stdout) != size_t(json.size())
                || std::fflush(stdout) != 0)
                return toolError(QStringLiteral("cannot write the profile to standard output"));
        } else if (!saveRadarProfile(output, profile, &error)) {
            return toolError(error);
        }
        std::fprintf(stderr, "vazorez-decode: %s\n", qPrintable(estimate.summary()));
        return 0;
    }
    OutputFile out;
    if (!FrameWriter::openOutput(out, parser.value("output"), format))
        return toolError(
            QStringLiteral("cannot create %1: %2").arg(out.description(), out.errorString()));
    stalledStop.setOutput(out.replacesFile() ? out.writingPath() : QString(),
        out.replacesFile() ? OutputFile::untouched(out.description())
                           : QStringLiteral("%1 keeps what it took").arg(out.description()));

    FrameWriter writer(out, format);
    RecordingContext session;
    session.source = reader.name();
    session.note = parser.value("note");
    if (profileFound)
        session.radarProfileJson = QString::fromUtf8(radarProfileJson(profile));
    writer.setContext(session);
    std::optional<VitalsWriter> vitalsWriter;
    if (vitals)
        vitalsWriter.emplace(out,
            format == FrameWriter::Format::Jsonl ? VitalsWriter::Format::Jsonl
                                                 : VitalsWriter::Format::Csv,
            profile, vitalsRange);
    std::optional<TargetWriter> targets;
    if (analysing && !vitals)
        targets.emplace(out,
            format == FrameWriter::Format::Jsonl ? TargetWriter::Format::Jsonl
                                                 : TargetWriter::Format::Csv,
            profile, settings, kind, tracking);
    // The header goes out with the first frame read (or at the end of a file without one): a
    // file refused from its first line leaves nothing on standard output.
    bool headed = false;
    const auto writeHeader = [&] {
        headed = true;
        return vitalsWriter ? vitalsWriter->writeHeader()
            : targets       ? targets->writeHeader()
                            : writer.writeHeader();
    };
    bool written = true;
    RecordedFrame frame;
    while (written && !StopSignals::caught() && reader.next(frame)) {
        if (!headed && !(written = writeHeader()))
            break;
        written = vitalsWriter ? vitalsWriter->write(frame.seconds, frame.record)
            : targets          ? targets->write(frame.index, frame.seconds, frame.record)
                          : writer.write(frame.index, frame.seconds, frame.record,
                              frame.bytes.constData(), frame.bytes.size());
    }
    if (written && !headed && !StopSignals::caught() && !reader.failed())
        written = writeHeader();
    if (written && targets && !StopSignals::caught() && !reader.failed())
        written = targets->finish();
    if (written && vitalsWriter && !StopSignals::caught() && !reader.failed())
        written = vitalsWriter->finish();
    stalledStop.takeOver();
    if (StopSignals::caught()) {
        const bool toFile = out.replacesFile();
        out.discard();
        const int code = stopped(toFile
                ? OutputFile::untouched(out.description())
                : QStringLiteral("%1 took %2 frames").arg(out.description()).arg(reader.frames()));
        stopSignals.release();
        return code;
    }
    if (reader.failed()) {
        out.discard();
        return toolError(reader.errorString());
    }
    if (vitalsWriter && !vitalsWriter->refusal().isEmpty()) {
        out.discard();
        return usageError(QStringLiteral("--vitals-range ") + vitalsWriter->refusal());
    }
    if (!written || !out.commit()) {
        // A conversion is whole or not made: said before the discard, which closes an h5 file
        // and would have it count what it kept.
        const QString why = written ? out.errorString()
            : vitalsWriter          ? vitalsWriter->errorString()
            : targets               ? targets->errorString()
                                    : writer.errorString();
        const bool toFile = out.replacesFile();
        out.discard();
        return toolError(QStringLiteral("cannot write to %1: %2%3")
                             .arg(out.description(), why,
                                 toFile ? "; " + OutputFile::untouched(out.description())
                                        : QString()));
    }
    // A stop that came once the output was being made whole finds it whole: said, not hidden.
    if (StopSignals::caught())
        std::fprintf(stderr, "vazorez-decode: the stop came as the output was being finished; it is whole\n");
    if (vitalsWriter) {
        QString said = QStringLiteral("%1 rows of %2 frames, %3 with a breathing rate")
                           .arg(vitalsWriter->rows())
                           .arg(vitalsWriter->modeName().isEmpty() ? QStringLiteral("no")
                                                                   : vitalsWriter->modeName())
                           .arg(vitalsWriter->rateRows());
        if (!vitalsWriter->heartUnavailable().isEmpty())
            said += QStringLiteral("; ") + vitalsWriter->heartUnavailable();
        std::fprintf(stderr, "vazorez-decode: %s\n", qPrintable(said));
        const QString why = vitalsWriter->explanation();
        if (!why.isEmpty())
            std::fprintf(stderr, "vazorez-decode: %s\n", qPrintable(why));
    } else if (targets && kind == TargetWriter::Kind::Targets)
        std::fprintf(
            stderr, "vazorez-decode: %lld targets\n", static_cast<long long>(targets->targets()));
    else if (targets) {
        QString said = QStringLiteral("%1 targets, %2 tracks confirmed")
                           .arg(targets->targets())
                           .arg(targets->trackCount());
        if (kind == TargetWriter::Kind::Passes)
            said += QStringLiteral(", %1 passes").arg(targets->passes());
        else if (kind == TargetWriter::Kind::Presence)
            said += QStringLiteral(", %1 presence changes").arg(targets->presenceChanges());
        if (targets->restarts() > 0)
            said += QStringLiteral("; time went back (%1 in all) and the tracks started afresh "
                                   "there: track numbers go on rising")
                        .arg(targets->restarts());
        std::fprintf(stderr, "vazorez-decode: %s\n", qPrintable(said));
    }
    std::fprintf(stderr,
        "vazorez-decode: %lld frames from %llu bytes, %llu rejected, %llu bytes of junk\n",
        static_cast<long long>(reader.frames()),
        static_cast<unsigned long long>(reader.bytesRead()),
        static_cast<unsigned long long>(reader.rejectedFrames()),
        static_cast<unsigned long long>(reader.junkBytes()));
    return 0;
}
