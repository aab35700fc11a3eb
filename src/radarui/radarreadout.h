// SPDX-License-Identifier: MIT
// The radar view's words: a target as the readout says it, and the csv of recent targets in the
// columns vazorez-decode --targets writes.
#pragma once

#include "radaranalyzer.h"
#include "radartap.h"

#include <QByteArray>
#include <QString>

#include <vector>

// "1.52 m/s approaching, 5.5 km/h" for a speed, "3.41 m" for a range, "12.3 bins" without sweep.
QString targetPosition(const RadarTarget &target);
// The position with the level and SNR: "1.52 m/s approaching, 5.5 km/h   48.1 dB, SNR 31.0 dB".
QString targetLine(const RadarTarget &target);
// The readout of one modulation: a line per target, or "no target".
QString readoutText(const std::vector<RadarTarget> &targets);
// What the analysis says beside its targets, or "": "slow motion below 0.73 m/s" (or "something
// nearer than 0.45 m") for a peak within the zone round zero where no target is reported, and
// "clipped" for a frame that reached the ADC's rails.
QString readoutNote(const RadarAnalysis &analysis);
// readoutText() of the analysis' targets with its note as a last line.
QString readoutText(const RadarAnalysis &analysis);
// The header and rows of vazorez-decode --targets; the header alone, and the rows alone (a running
// log's later batches).
QByteArray targetsCsv(const std::vector<RadarTargetRow> &rows);
QByteArray targetsCsvHeader();
QByteArray targetsCsvRows(const std::vector<RadarTargetRow> &rows);
