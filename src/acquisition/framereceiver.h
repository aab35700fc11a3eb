// SPDX-License-Identifier: MIT
// The receive buffer and the rules by which it is consumed: shared by the serial worker, the
// capture tools and the fuzzers, so that the same bytes always give the same frames.
//
// The rules, in stream order: a header pair whose frame has arrived whole and ends in 16 is
// checked; a sound frame comes out and its bytes go, a corrupt one costs only its first header
// byte. A header pair whose frame is still arriving holds back every later candidate until it is
// whole: a frame lying inside it is either part of it (and must not come out) or, if it turns out
// not to be a frame, the next one to look at. Bytes that can start no frame are dropped.
#pragma once

#include "frame.h"
#include "framedecoder.h"

#include <QByteArray>

#include <cstdint>
#include <functional>

class FrameReceiver
{
public:
    // While bytes keep coming, nothing is decoded until more than this is buffered: a 128-sample
    // frame is 1031 bytes.
    static constexpr int kDecodeThreshold = 1030;
    // After a read has been handled the buffer never holds more than this. The rules above keep it
    // below a largest frame (2047 bytes) by themselves: what stays is at most the gate's 1030
    // bytes, or a candidate still arriving and what follows it. The bound stays as a last line of
    // defence should a change to the rules ever let junk pile up.
    static constexpr int kMaxBuffered = 5153;

    struct Stats
    {
        uint64_t bytesReceived = 0;
        uint64_t framesDecoded = 0;
        uint64_t framesRejected = 0; // well-framed, but a bad mode byte or checksum
        uint64_t bytesDropped = 0;   // bytes that left the buffer without being part of a frame
        uint64_t overflows = 0;
    };

    // What a flush may assume about the bytes still to come.
    enum class Flush {
        // The line has paused: decode the complete frames, below the gate too. A frame inside a
        // candidate that is still arriving keeps waiting for it.
        Quiet,
        // The line has stayed quiet longer than a board ever pauses inside a frame: a candidate
        // still arriving that holds a complete frame inside it is taken for a false header.
        LongQuiet,
        // No more bytes will come: a candidate that never arrived whole was no frame.
        EndOfInput,
    };

    // Called for each decoded frame, in stream order, with the filled record and the frame's own
    // bytes. The record is reset right after the call returns.
    using FrameSink = std::function<void(const frame_t &record, const char *frameBytes, int length)>;

    // Appends `length` bytes and decodes every frame they complete while more than
    // kDecodeThreshold bytes are buffered, then applies the overflow bound.
    void receive(const char *data, int length, const FrameDecoder &decoder, frame_t &record,
                 const FrameSink &sink);

    // Decodes what the bytes at hand allow, below the threshold too.
    void flush(const FrameDecoder &decoder, frame_t &record, const FrameSink &sink,
               Flush mode = Flush::EndOfInput);

    // Forgets the buffered bytes (counted as dropped) and any candidate still arriving: the next
    // bytes come from another line.
    void discard();
    // Forgets the buffered bytes without counting them: a replay moved elsewhere in its file, and
    // the bytes it passes over were not lost.
    void forget();

    // True while a candidate still arriving holds back what follows it.
    bool isWaiting() const { return waiting >= 0; }

    // The position in the whole stream (bytes received before it) of `byte`, a byte of the buffer:
    // inside a FrameSink, where a frame's own bytes lie in the stream.
    uint64_t streamOffset(const char *byte) const
    {
        return counters.bytesReceived - uint64_t(buffered.size() - (byte - buffered.constData()));
    }

    const QByteArray &buffer() const { return buffered; }
    const Stats &stats() const { return counters; }

private:
    void process(bool gated, Flush mode, const FrameDecoder &decoder, frame_t &record, const FrameSink &sink);
    int nextCandidate(Flush mode, bool gated, int *frameLength);
    bool wellFramedAfter(int position) const;
    int dropDeadBytes();

    QByteArray buffered;
    // Bytes at the front of `buffered` already consumed during the current call; positions below
    // count from the first byte after them.
    int consumed = 0;
    // Positions before resumeAt have been looked at.
    int resumeAt = 0;
    // A header pair whose frame is still arriving, or -1. Everything after it waits.
    int waiting = -1;
    Stats counters;
};
