// SPDX-License-Identifier: MIT
#include "framereceiver.h"

#include <QDebug>

#include <algorithm>

void FrameReceiver::receive(const char *data, int length, const FrameDecoder &decoder,
                            frame_t &record, const FrameSink &sink)
{
    if (length > 0) {
        buffered.append(data, length);
        counters.bytesReceived += uint64_t(length);
    }
    // The bound comes after decoding: one read may bring more than kMaxBuffered bytes of good
    // frames, and every one of them must come out.
    process(true, Flush::Quiet, decoder, record, sink);
    if (buffered.size() > kMaxBuffered) {
        ++counters.overflows;
        discard();
        resetFrame(record);
        qDebug("buffer too long");
    }
}

void FrameReceiver::flush(const FrameDecoder &decoder, frame_t &record, const FrameSink &sink, Flush mode)
{
    process(false, mode, decoder, record, sink);
}

void FrameReceiver::discard()
{
    counters.bytesDropped += uint64_t(buffered.size());
    forget();
}

void FrameReceiver::forget()
{
    buffered.clear();
    consumed = 0;
    resumeAt = 0;
    waiting = -1;
}

bool FrameReceiver::wellFramedAfter(int position) const
{
    const char *data = buffered.constData() + consumed;
    const int size = buffered.size() - consumed;
    for (int p = FrameDecoder::findCandidate(data, size, position + 1); p >= 0;
         p = FrameDecoder::findCandidate(data, size, p + 1)) {
        if (FrameDecoder::candidateAt(data, size, p, nullptr) == FrameDecoder::Candidate::WellFramed)
            return true;
    }
    return false;
}

int FrameReceiver::nextCandidate(Flush mode, bool gated, int *frameLength)
{
    const char *data = buffered.constData() + consumed;
    const int size = buffered.size() - consumed;
    // A candidate still arriving when the line is over was never a frame; when the line has been
    // quiet for long, one that holds a complete frame inside it is taken for a false header.
    auto givesUp = [&](int position) {
        return !gated
            && (mode == Flush::EndOfInput || (mode == Flush::LongQuiet && wellFramedAfter(position)));
    };
    if (waiting >= 0) {
        const int position = waiting;
        const auto kind = FrameDecoder::candidateAt(data, size, position, frameLength);
        if (kind == FrameDecoder::Candidate::Incomplete && !givesUp(position))
            return -1;
        waiting = -1;
        if (kind == FrameDecoder::Candidate::WellFramed)
            return position;
    }
    for (int position = FrameDecoder::findCandidate(data, size, resumeAt); position >= 0;
         position = FrameDecoder::findCandidate(data, size, position + 1)) {
        resumeAt = position + 1;
        const auto kind = FrameDecoder::candidateAt(data, size, position, frameLength);
        if (kind == FrameDecoder::Candidate::WellFramed)
            return position;
        if (kind == FrameDecoder::Candidate::Incomplete && !givesUp(position)) {
            waiting = position;
            return -1;
        }
    }
    // Header pairs in the last six bytes have not been looked at yet.
    resumeAt = std::max(resumeAt, size - (FrameDecoder::kMinFrameLength - 1));
    return -1;
}

void FrameReceiver::process(bool gated, Flush mode, const FrameDecoder &decoder, frame_t &record,
                            const FrameSink &sink)
{
    while (!gated || buffered.size() - consumed > kDecodeThreshold) {
        int frameLength = 0;
        const int start = nextCandidate(mode, gated, &frameLength);
        if (start < 0) {
            // Nothing decodable yet. Bytes that can never start a frame are junk: drop them.
            if (dropDeadBytes() > 0)
                qDebug("error parsing data");
            break;
        }
        // The candidate is whole, so the decoder commits to it at offset 0.
        const char *frameBytes = buffered.constData() + consumed + start;
        const int status = decoder.decodeFrame(frameBytes, frameLength, record);
        if (status == FrameDecoder::Decoded) {
            ++counters.framesDecoded;
            sink(record, frameBytes, frameLength);
            resetFrame(record);
            // Junk before the frame and the frame itself go; what follows is unexamined.
            counters.bytesDropped += uint64_t(start);
            consumed += start + frameLength;
            resumeAt = 0;
        } else {
            resetFrame(record);
            ++counters.framesRejected;
            qDebug("error parsing data");
            // A corrupt frame costs only itself: the scan goes on after its first header byte.
            dropDeadBytes();
        }
    }
    // Consumed bytes leave in one move per call, not one per frame.
    buffered.remove(0, consumed);
    consumed = 0;
}

int FrameReceiver::dropDeadBytes()
{
    const int keepFrom = waiting >= 0 ? waiting : resumeAt;
    if (keepFrom <= 0)
        return 0;
    counters.bytesDropped += uint64_t(keepFrom);
    consumed += keepFrom;
    resumeAt -= keepFrom;
    if (waiting >= 0)
        waiting -= keepFrom;
    return keepFrom;
}
