// SPDX-License-Identifier: MIT
// A frame's targets as JSON, the one form the decoder's jsonl and the live stream share.
#pragma once

#include "radaranalyzer.h"

#include <QByteArray>

// Appends `"targets":[...]` and what stands beside them (images left out, a clipped frame,
// something within the zone round zero) to `text`, for an object the caller opens and closes.
void appendTargetsJson(QByteArray &text, const RadarAnalysis &analysis);
// A value with `decimals` places, or nothing for a quantity the frame's mode does not measure.
QByteArray jsonNumber(double value, int decimals);
