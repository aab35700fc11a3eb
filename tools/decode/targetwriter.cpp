// SPDX-License-Identifier: MIT
#include "targetwriter.h"

#include "frame.h"
#include "outputfile.h"
#include "targetjson.h"

#include <cmath>

namespace {

QByteArray number(double value, int decimals)
{
    return jsonNumber(value, decimals);
}

} // namespace

TargetWriter::TargetWriter(OutputFile &out, Format format, const RadarProfile &profile,
    const RadarSettings &settings, Kind kind, const TrackerSettings &tracking)
    : out(out)
    , format(format)
    , kind(kind)
    , analyzer(profile, settings)
    , tracker(profile, tracking)
{
}

bool TargetWriter::writeHeader()
{
    if (format != Format::Csv)
        return true;
    const char *header = kind == Kind::Tracks ? "frame,time_s,mode,track,range_m,speed_mps,level_db\n"
        : kind == Kind::Passes ? "track,mode,start_s,end_s,frames,max_speed_mps,min_range_m,direction\n"
        : kind == Kind::Presence ? "time_s,present\n"
                                 : "frame,time_s,mode,rank,range_m,speed_mps,level_db,snr_db\n";
    if (!out.write(QByteArray(header))) {
        error = out.errorString();
        return false;
    }
    return true;
}

void TargetWriter::writeTracks(const QByteArray &frame, const QByteArray &time, const QByteArray &mode)
{
    // The confirmed tracks that had a hit in this frame: a track's first hits, before it is
    // confirmed, and the frames it coasts through are not written.
    const int modeIndex = analysis.spectrum.mode & 1;
    bool first = true;
    if (format == Format::Jsonl)
        text += "{\"frame\":" + frame + ",\"time_s\":" + time + ",\"mode\":\"" + mode
            + "\",\"tracks\":[";
    for (const TrackState &track : tracker.tracks(modeIndex)) {
        if (!track.confirmed || !track.hit)
            continue;
        if (format == Format::Csv) {
            text += frame + ',' + time + ',' + mode + ',' + QByteArray::number(track.id) + ','
                + number(track.rangeM, 3) + ',' + number(track.speedMps, 3) + ','
                + number(track.levelDb, 2) + '\n';
            continue;
        }
        if (!first)
            text += ',';
        first = false;
        text += "{\"track\":" + QByteArray::number(track.id);
        if (!std::isnan(track.rangeM))
            text += ",\"range_m\":" + number(track.rangeM, 3);
        if (!std::isnan(track.speedMps))
            text += ",\"speed_mps\":" + number(track.speedMps, 3);
        if (track.tiedTo != 0)
            text += ",\"tied_to\":" + QByteArray::number(track.tiedTo);
        text += ",\"level_db\":" + number(track.levelDb, 2) + '}';
    }
    if (format == Format::Jsonl)
        text += "]}\n";
}

bool TargetWriter::writePasses()
{
    for (const TrackPass &pass : tracker.takePasses()) {
        ++passCount;
        const QByteArray mode = pass.mode ? "FMCW" : "CW";
        if (format == Format::Csv) {
            text += QByteArray::number(pass.track) + ',' + mode + ','
                + number(pass.startSeconds, 6) + ',' + number(pass.endSeconds, 6) + ','
                + QByteArray::number(pass.frames) + ',' + number(pass.maxSpeedMps, 3) + ','
                + number(pass.minRangeM, 3) + ',' + pass.directionName() + '\n';
        } else {
            text += "{\"track\":" + QByteArray::number(pass.track) + ",\"mode\":\"" + mode
                + "\",\"start_s\":" + number(pass.startSeconds, 6)
                + ",\"end_s\":" + number(pass.endSeconds, 6)
                + ",\"frames\":" + QByteArray::number(pass.frames)
                + ",\"max_speed_mps\":" + number(pass.maxSpeedMps, 3);
            if (!std::isnan(pass.minRangeM))
                text += ",\"min_range_m\":" + number(pass.minRangeM, 3);
            text += ",\"direction\":\"" + QByteArray(pass.directionName()) + "\"}\n";
        }
    }
    if (!text.isEmpty() && !out.write(text)) {
        error = out.errorString();
        return false;
    }
    text.clear();
    return true;
}

bool TargetWriter::finish()
{
    if (kind != Kind::Passes)
        return true;
    text.clear();
    tracker.finish();
    return writePasses();
}

bool TargetWriter::write(int64_t index, double seconds, const frame_t &record)
{
    analyzer.analyze(record, analysis);
    targetCount += int64_t(analysis.targets.size());
    const QByteArray frame = QByteArray::number(qlonglong(index));
    const QByteArray time = QByteArray::number(seconds, 'f', 6);
    const QByteArray mode = record.modulation ? "FMCW" : "CW";
    text.clear();
    if (kind != Kind::Targets) {
        // A recording whose time goes back (frames joined from two sessions) starts afresh: the
        // passes of the part before end there.
        if (tracker.update(seconds, analysis))
            lastId = 0;
        for (int m = 0; m < 2; ++m) {
            for (const TrackState &track : tracker.tracks(m)) {
                if (track.confirmed && track.id > lastId) {
                    ++tracksConfirmed;
                    lastId = track.id;
                }
            }
        }
        if (kind == Kind::Tracks) {
            writeTracks(frame, time, mode);
        } else if (kind == Kind::Passes) {
            return writePasses();
        } else if (!presenceWritten || tracker.present() != lastPresent) {
            // The first frame's state, then one row per change.
            changes += presenceWritten ? 1 : 0;
            presenceWritten = true;
            lastPresent = tracker.present();
            text += format == Format::Csv
                ? time + ',' + (lastPresent ? "1" : "0") + '\n'
                : "{\"time_s\":" + time + ",\"present\":" + (lastPresent ? "true" : "false")
                    + "}\n";
        }
    } else if (format == Format::Csv) {
        for (const RadarTarget &target : analysis.targets) {
            text += frame + ',' + time + ',' + mode + ',' + QByteArray::number(target.rank) + ','
                + number(target.rangeM, 3) + ',' + number(target.speedMps, 3) + ','
                + number(target.levelDb, 2) + ',' + number(target.snrDb, 2) + '\n';
        }
    } else {
        text += "{\"frame\":" + frame + ",\"time_s\":" + time + ",\"mode\":\"" + mode + "\",";
        appendTargetsJson(text, analysis);
        text += "}\n";
    }
    if (!text.isEmpty() && !out.write(text)) {
        error = out.errorString();
        return false;
    }
    return true;
}
