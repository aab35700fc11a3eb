// SPDX-License-Identifier: MIT
// Writes the targets the radar analysis finds in each frame: a csv row per target, or a JSON line
// per frame with its list of targets.
#pragma once

#include "radaranalyzer.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

class OutputFile;

class TargetWriter {
public:
    enum class Format { Csv, Jsonl };

    // Writes to `out`, which stays the caller's.
    TargetWriter(
        OutputFile &out, Format format, const RadarProfile &profile, const RadarSettings &settings);

    bool writeHeader();
    // Analyses the frame and writes what it found; a csv gets no row for a frame without target.
    bool write(int64_t index, double seconds, const frame_t &record);

    int64_t targets() const { return targetCount; }
    QString errorString() const { return error; }

private:
    OutputFile &out;
    Format format;
    RadarAnalyzer analyzer;
    RadarAnalysis analysis;
    QByteArray text;
    QString error;
    int64_t targetCount = 0;
};
