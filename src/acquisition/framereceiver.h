// SPDX-License-Identifier: MIT
// The receive buffer and the rules by which it is consumed: shared by the serial worker, the
// capture tools and the fuzzers, so that the same bytes always give the same frames.
#pragma once

#include "frame.h"
#include "framedecoder.h"

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <vector>

class FrameReceiver
{
public:
    // Nothing is decoded until more than this is buffered: a 128-sample frame is 1031 bytes.
    static constexpr int kDecodeThreshold = 1030;
    // After a read has been handled the buffer never holds more than this.
    static constexpr int kMaxBuffered = 5153;

    struct Stats
    {
        uint64_t bytesReceived = 0;
        uint64_t framesDecoded = 0;
        uint64_t framesRejected = 0; // well-framed, but a bad mode byte or checksum
        uint64_t bytesDropped = 0;   // bytes that left the buffer without being part of a frame
        uint64_t overflows = 0;
    };

    // Called for each decoded frame, in stream order, with the filled record and the frame's own
    // bytes. The record is reset right after the call returns.
    using FrameSink = std::function<void(const frame_t &record, const char *frameBytes, int length)>;

    // Appends `length` bytes and decodes every frame they complete while more than
    // kDecodeThreshold bytes are buffered, then applies the overflow bound.
    void receive(const char *data, int length, const FrameDecoder &decoder, frame_t &record,
                 const FrameSink &sink);

    // Decodes whatever complete frames are left, below the threshold too (end of input).
    void flush(const FrameDecoder &decoder, frame_t &record, const FrameSink &sink);

    // The position in the whole stream (bytes received before it) of `byte`, a byte of the buffer:
    // inside a FrameSink, where a frame's own bytes lie in the stream.
    uint64_t streamOffset(const char *byte) const
    {
        return counters.bytesReceived - uint64_t(buffered.size() - (byte - buffered.constData()));
    }

    const QByteArray &buffer() const { return buffered; }
    const Stats &stats() const { return counters; }

private:
    void process(bool gated, const FrameDecoder &decoder, frame_t &record, const FrameSink &sink);
    int findCommitCandidate(int *frameLength);
    void dropFront(int count);
    int dropDeadBytes();

    QByteArray buffered;
    // Bytes at the front of `buffered` already consumed during the current read; positions below
    // count from the first byte after them.
    int consumed = 0;
    // Positions before resumeAt have been looked at. Of those, only the header pairs in `pending`
    // (frames whose tail has not arrived yet) may still start a frame; everything before the
    // first of them can go.
    int resumeAt = 0;
    std::vector<int> pending;
    Stats counters;
};
