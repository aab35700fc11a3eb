// SPDX-License-Identifier: MIT
#include "framedecoder.h"

#include <cstring>

namespace {

using Bytes = const unsigned char *;

inline int16_t readInt16(Bytes p)
{
    return int16_t(uint16_t((uint16_t(p[0]) << 8) | p[1]));
}

inline int32_t readInt32(Bytes p)
{
    return int32_t((uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8)
                   | uint32_t(p[3]));
}

// Decodes and checks the well-framed frame at `p` in one pass. The values go to stack
// temporaries so that a rejected frame costs the record nothing and a good one no allocation.
struct Payload
{
    int mode = 0;
    int n = 0;
    int16_t i[FrameDecoder::kMaxSamples];
    int16_t q[FrameDecoder::kMaxSamples];
    int32_t s[FrameDecoder::kMaxSamples];
};

int decodePayload(Bytes p, Payload &out)
{
    if (p[2] > 1)
        return FrameDecoder::BadMode;
    const int n = p[4];
    // The first header byte is not summed; the second is.
    unsigned sum = unsigned(p[1]) + p[2] + p[3] + p[4];
    Bytes cursor = p + 5;
    for (int k = 0; k < n; ++k, cursor += 2) {
        sum += unsigned(cursor[0]) + cursor[1];
        out.i[k] = readInt16(cursor);
    }
    for (int k = 0; k < n; ++k, cursor += 2) {
        sum += unsigned(cursor[0]) + cursor[1];
        out.q[k] = readInt16(cursor);
    }
    for (int k = 0; k < n; ++k, cursor += 4) {
        sum += unsigned(cursor[0]) + cursor[1] + cursor[2] + cursor[3];
        out.s[k] = readInt32(cursor);
    }
    if ((sum & 0xFFu) != *cursor)
        return FrameDecoder::BadChecksum;
    out.mode = p[2];
    out.n = n;
    return FrameDecoder::Decoded;
}

void fillRecord(const Payload &payload, frame_t &frame)
{
    const int n = payload.n;
    frame.modulation = payload.mode;
    frame.sample_count = n;
    frame.i_samples.assign(payload.i, payload.i + n);
    frame.q_samples.assign(payload.q, payload.q + n);
    if (n == 0)
        return; // no S[0] for the leading point
    // The spectrum is plotted reversed, its last value at x = 0; FMCW shows only the upper half.
    const int m = payload.mode == 0 ? n : n / 2;
    frame.fft_series.reserve(frame.fft_series.size() + m + 1);
    frame.fft_bins.reserve(frame.fft_bins.size() + m);
    frame.fft_series.append(QPointF(0.0, double(payload.s[0])));
    for (int j = 0; j < m; ++j) {
        const QPointF point(double(j), double(payload.s[n - 1 - j]));
        frame.fft_series.append(point);
        frame.fft_bins.append(point);
    }
    frame.q_series.reserve(frame.q_series.size() + n);
    for (int k = 0; k < n; ++k)
        frame.q_series.append(QPointF(double(k), double(payload.q[k])));
    frame.i_series.reserve(frame.i_series.size() + n);
    for (int k = 0; k < n; ++k)
        frame.i_series.append(QPointF(double(k), double(payload.i[k])));
}

} // namespace

FrameDecoder::Candidate FrameDecoder::candidateAt(const char *data, int length, int position,
                                                  int *frameLength)
{
    const auto *p = reinterpret_cast<Bytes>(data);
    if (position < 0 || length - position < kMinFrameLength || p[position] != kHeaderByte0
        || p[position + 1] != kHeaderByte1)
        return Candidate::NotAFrame;
    const int total = FrameDecoder::frameLength(p[position + 4]);
    if (frameLength)
        *frameLength = total;
    if (length - position < total)
        return Candidate::Incomplete;
    return p[position + total - 1] == kEndByte ? Candidate::WellFramed : Candidate::NotAFrame;
}

int FrameDecoder::findCandidate(const char *data, int length, int from)
{
    // A header pair in the last six bytes can never start a whole frame.
    const int last = length - kMinFrameLength; // last position worth looking at
    while (from <= last) {
        const void *hit = std::memchr(data + from, kHeaderByte0, size_t(last - from + 1));
        if (!hit)
            return -1;
        const int position = int(static_cast<const char *>(hit) - data);
        if (static_cast<unsigned char>(data[position + 1]) == kHeaderByte1)
            return position;
        from = position + 1;
    }
    return -1;
}

int FrameDecoder::decodeFrame(const char *data, int length, frame_t &frame) const
{
    Details details;
    return decodeFrame(data, length, frame, details);
}

int FrameDecoder::decodeFrame(const char *data, int length, frame_t &frame, Details &details) const
{
    details.frameStart = -1;
    details.frameLength = 0;
    if (!data || length < 5)
        return NoFrame;
    int position = findCandidate(data, length, 0);
    int total = 0;
    while (position >= 0) {
        if (candidateAt(data, length, position, &total) == Candidate::WellFramed)
            break;
        position = findCandidate(data, length, position + 1);
    }
    if (position < 0)
        return NoFrame;

    // Committed: whatever the outcome, no later position is looked at.
    details.frameStart = position;
    details.frameLength = total;
    Payload payload;
    const int status = decodePayload(reinterpret_cast<Bytes>(data) + position, payload);
    if (status != Decoded)
        return status;
    fillRecord(payload, frame);
    if (details.wantSpectrum)
        details.spectrum.assign(payload.s, payload.s + payload.n);
    return Decoded;
}
