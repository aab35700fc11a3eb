// SPDX-License-Identifier: MIT
// Writes what the vitals estimator makes of each frame of the mode it follows: the displacement
// and the breathing and heart rates (a csv row per frame, or a JSON line), the cells empty where
// there is no estimate. FMCW without a chosen range follows the nearest confirmed track.
#pragma once

#include "radaranalyzer.h"
#include "targettracker.h"
#include "vitalsestimator.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

class OutputFile;

class VitalsWriter {
public:
    enum class Format { Csv, Jsonl };

    // `rangeM` NaN: CW frames are read when the first frame is CW, else FMCW ones at the nearest
    // track; a range: FMCW frames at that range.
    VitalsWriter(OutputFile &out, Format format, const RadarProfile &profile, double rangeM);

    bool writeHeader();
    bool write(double seconds, const frame_t &record);

    int64_t rows() const { return rowCount; }
    int64_t rateRows() const { return rateCount; }
    // The mode read ("CW" or "FMCW"), empty before the first frame.
    QString modeName() const;
    // Why no heart rate could be had, empty where it could be tried.
    QString heartUnavailable() const;
    QString errorString() const { return error; }

private:
    OutputFile &out;
    Format format;
    RadarProfile radar;
    double range;
    std::unique_ptr<VitalsEstimator> estimator;
    std::unique_ptr<RadarAnalyzer> analyzer; // FMCW without a range: the tracks to follow
    std::unique_ptr<TargetTracker> tracker;
    RadarAnalysis analysis;
    QByteArray text;
    QString error;
    QString heartReason;
    int64_t rowCount = 0;
    int64_t rateCount = 0;
};
