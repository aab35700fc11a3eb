// SPDX-License-Identifier: MIT
// Writes what the radar analysis finds in each frame: its targets (a csv row per target, or a JSON
// line per frame with its list), or what the tracker makes of them: the confirmed tracks frame by
// frame, the passes as they end, or presence as it changes.
#pragma once

#include "radaranalyzer.h"
#include "targettracker.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

class OutputFile;

class TargetWriter {
public:
    enum class Format { Csv, Jsonl };
    enum class Kind { Targets, Tracks, Passes, Presence };

    // Writes to `out`, which stays the caller's.
    TargetWriter(OutputFile &out, Format format, const RadarProfile &profile,
        const RadarSettings &settings, Kind kind = Kind::Targets, const TrackerSettings &tracking = {});

    bool writeHeader();
    // Analyses the frame and writes what it found; a csv gets no row for a frame without target.
    bool write(int64_t index, double seconds, const frame_t &record);
    // After the last frame: the tracks still going end, and their passes are written.
    bool finish();

    int64_t targets() const { return targetCount; }
    // Passes ended, tracks confirmed, presence changes, and how often time went back.
    int64_t passes() const { return passCount; }
    int64_t trackCount() const { return tracksConfirmed; }
    int64_t presenceChanges() const { return changes; }
    int64_t restarts() const { return tracker.resets(); }
    QString errorString() const { return error; }

private:
    OutputFile &out;
    bool writePasses();
    void writeTracks(const QByteArray &frame, const QByteArray &time, const QByteArray &mode);

    Format format;
    Kind kind;
    RadarAnalyzer analyzer;
    TargetTracker tracker;
    RadarAnalysis analysis;
    QByteArray text;
    QString error;
    int64_t targetCount = 0;
    int64_t passCount = 0;
    int64_t tracksConfirmed = 0;
    int64_t changes = 0;
    int lastId = 0;
    bool presenceWritten = false;
    bool lastPresent = false;
};
