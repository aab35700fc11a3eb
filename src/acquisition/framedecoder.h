// SPDX-License-Identifier: MIT
// The one place that knows the board's wire format.
//
// A frame is 8n + 7 bytes: A2 E0, mode (0 = CW, 1 = FMCW), one free byte, n, then n I and n Q
// samples (int16, big-endian), n spectrum values (int32, big-endian), an additive checksum over
// every byte from the E0 to the last spectrum byte, and the end byte 16.
#pragma once

#include "frame.h"

#include <cstdint>
#include <vector>

class FrameDecoder
{
public:
    enum Status : int {
        Decoded = 0,
        NoFrame = 2,     // fewer than 5 bytes, or no position starts a well-framed frame
        BadMode = 4,     // the first well-framed frame has a mode byte other than 0 or 1
        BadChecksum = 5, // the first well-framed frame's checksum does not match
    };

    // What a header pair at a position amounts to, given the bytes at hand.
    enum class Candidate {
        NotAFrame,  // no header pair there, or its end byte is not 16
        Incomplete, // a header pair whose frame runs past the end of the bytes at hand
        WellFramed, // the whole frame is at hand and ends in 16
    };

    // For callers that need more than the chart record: where the committed frame lies, and its
    // spectrum in frame order (the record keeps only the reversed, plotted half in FMCW mode).
    struct Details
    {
        int frameStart = -1; // offset of the frame the call committed to; -1 with status 2
        int frameLength = 0;
        bool wantSpectrum = false;
        std::vector<int32_t> spectrum; // S[0..n-1] in frame order, filled on status 0 when wanted
    };

    static constexpr int kHeaderByte0 = 0xA2;
    static constexpr int kHeaderByte1 = 0xE0;
    static constexpr int kEndByte = 0x16;
    static constexpr int kMinFrameLength = 7;
    static constexpr int kMaxSamples = 255;
    static constexpr int kMaxFrameLength = 8 * kMaxSamples + 7;

    static constexpr int frameLength(int sampleCount) { return 8 * sampleCount + 7; }

    // Scans `data` from its first byte for the first well-framed frame and decodes it into
    // `frame`, whose series must come in empty. Returns a Status; on failure `frame` is untouched.
    // Never reads outside the `length` bytes.
    int decodeFrame(const char *data, int length, frame_t &frame) const;
    int decodeFrame(const char *data, int length, frame_t &frame, Details &details) const;

    // Classifies `position` of `data`; sets *frameLength for Incomplete and WellFramed.
    static Candidate candidateAt(const char *data, int length, int position, int *frameLength);

    // The first position at or after `from` holding a header pair with at least the shortest
    // frame's bytes from there to the end, or -1.
    static int findCandidate(const char *data, int length, int from);
};
