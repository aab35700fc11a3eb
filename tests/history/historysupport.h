// SPDX-License-Identifier: MIT
// Frames with a known spectrum for the history's tests: every bin at one level, one bin at another.
#pragma once

#include "framedecoder.h"
#include "frameencoder.h"

// A frame whose chart shows `floorDb` everywhere but `peakDb` at bin `peakBin` (-1: none): the
// chart's bin j is the spectrum's S[n - 1 - j].
inline FrameValues spectrumFrame(
    int mode, int samples, int peakBin, int peakDb = 60, int floorDb = -35)
{
    FrameValues values;
    values.mode = uint8_t(mode);
    values.i.assign(size_t(samples), 2048);
    values.q.assign(size_t(samples), 2048);
    values.s.assign(size_t(samples), floorDb);
    if (peakBin >= 0 && peakBin < samples)
        values.s[size_t(samples - 1 - peakBin)] = peakDb;
    return values;
}

// The record the worker would hand a tap for these values.
inline frame_t decodedRecord(const FrameValues &values)
{
    const QByteArray bytes = encodeFrame(values);
    frame_t record;
    FrameDecoder().decodeFrame(bytes.constData(), bytes.size(), record);
    return record;
}
