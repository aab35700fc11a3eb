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

// Checks the well-framed frame at `p`: its mode byte, then its checksum over every byte from the
// second header byte to the last spectrum byte. A plain byte sum, which the compiler vectorises.
int checkFrame(Bytes p)
{
    if (p[2] > 1)
        return FrameDecoder::BadMode;
    const int n = p[4];
    unsigned sum = unsigned(p[1]) + p[2] + p[3] + p[4];
    const Bytes payload = p + 5;
    for (int k = 0; k < 8 * n; ++k)
        sum += payload[k];
    return (sum & 0xFFu) == payload[8 * n] ? FrameDecoder::Decoded : FrameDecoder::BadChecksum;
}

// Appends `count` points to `series` and returns where they go: one capacity check and one detach
// for the whole run instead of one per point.
QPointF *grow(QVector<QPointF> &series, int count)
{
    const int start = series.size();
    series.resize(start + count);
    return series.data() + start;
}

// Fills the record from a frame that passed checkFrame: nothing is touched before that.
void fillRecord(Bytes p, frame_t &frame)
{
    const int n = p[4];
    const Bytes iBytes = p + 5;
    const Bytes qBytes = iBytes + 2 * n;
    const Bytes sBytes = qBytes + 2 * n;
    frame.modulation = p[2];
    frame.sample_count = n;
    frame.i_samples.resize(size_t(n));
    frame.q_samples.resize(size_t(n));
    for (int k = 0; k < n; ++k) {
        frame.i_samples[size_t(k)] = readInt16(iBytes + 2 * k);
        frame.q_samples[size_t(k)] = readInt16(qBytes + 2 * k);
    }
    if (n == 0)
        return; // no S[0] for the leading point
    // The spectrum is plotted reversed, its last value at x = 0; FMCW shows only the upper half.
    const int m = p[2] == 0 ? n : n / 2;
    QPointF *plotted = grow(frame.fft_series, m + 1);
    QPointF *bins = grow(frame.fft_bins, m);
    *plotted++ = QPointF(0.0, double(readInt32(sBytes)));
    for (int j = 0; j < m; ++j) {
        const QPointF point(double(j), double(readInt32(sBytes + 4 * (n - 1 - j))));
        plotted[j] = point;
        bins[j] = point;
    }
    QPointF *q = grow(frame.q_series, n);
    for (int k = 0; k < n; ++k)
        q[k] = QPointF(double(k), double(frame.q_samples[size_t(k)]));
    QPointF *i = grow(frame.i_series, n);
    for (int k = 0; k < n; ++k)
        i[k] = QPointF(double(k), double(frame.i_samples[size_t(k)]));
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
    const Bytes p = reinterpret_cast<Bytes>(data) + position;
    const int status = checkFrame(p);
    if (status != Decoded)
        return status;
    fillRecord(p, frame);
    if (details.wantSpectrum) {
        const int n = p[4];
        details.spectrum.resize(size_t(n));
        for (int k = 0; k < n; ++k)
            details.spectrum[size_t(k)] = readInt32(p + 5 + 4 * n + 4 * k);
    }
    return Decoded;
}
