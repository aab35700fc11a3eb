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

    // The csv header goes out with the first row, or at finish() when there is none: a range
    // refused at the first frame leaves nothing written.
    bool writeHeader();
    bool write(double seconds, const frame_t &record);
    bool finish();

    int64_t rows() const { return rowCount; }
    int64_t rateRows() const { return rateCount; }
    // The mode read ("CW" or "FMCW"), empty before the first frame.
    QString modeName() const;
    // Why no heart rate could be had, empty where it could be tried.
    QString heartUnavailable() const;
    QString errorString() const { return error; }
    // Set when write() refused the chosen range for the frames' n (nearer than the nearest cell
    // the analysis reads): the options were wrong, not the output.
    QString refusal() const { return refused; }
    // Why the rows have no displacement or no rate when that is so, and what to do; empty when
    // they have them.
    QString explanation() const;

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
    QString refused;
    bool headerPending = false;
    int64_t rowCount = 0;
    int64_t rateCount = 0;
    int64_t otherModeFrames = 0;
    int64_t unfollowedRows = 0; // FMCW without a range: rows with no confirmed track to follow
    int64_t noEchoRows = 0;
    int64_t movingRows = 0;
    int64_t displacementRows = 0;
    int64_t qualityRows = 0; // with a spectrum made
};
