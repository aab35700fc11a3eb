// SPDX-License-Identifier: MIT
// Writes frames in the board's wire format: the simulator's frames, and a recording's frames
// played back as the line carried them.
#pragma once

#include <QByteArray>

#include <cstdint>
#include <vector>

struct FrameValues
{
    uint8_t mode = 0;  // 0 = CW, 1 = FMCW (other values make a frame the viewer rejects)
    uint8_t byte3 = 0; // carried and summed, never interpreted
    std::vector<int16_t> i;
    std::vector<int16_t> q;
    std::vector<int32_t> s; // spectrum, in frame order
};

// The frame's checksum: the sum modulo 256 of every byte from the second header byte to the last
// spectrum byte.
uint8_t frameChecksum(const char *frame, int length);

// Appends the frame for `values` (i, q and s must have the same size, at most 255) to `out`.
void appendFrame(QByteArray &out, const FrameValues &values);
QByteArray encodeFrame(const FrameValues &values);
