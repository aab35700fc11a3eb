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
    process(true, decoder, record, sink);
    if (buffered.size() > kMaxBuffered) {
        counters.bytesDropped += uint64_t(buffered.size());
        ++counters.overflows;
        buffered.clear();
        pending.clear();
        resumeAt = 0;
        resetFrame(record);
        qDebug("buffer too long");
    }
}

void FrameReceiver::flush(const FrameDecoder &decoder, frame_t &record, const FrameSink &sink)
{
    process(false, decoder, record, sink);
}

int FrameReceiver::findCommitCandidate(int *frameLength)
{
    const char *data = buffered.constData() + consumed;
    const int size = buffered.size() - consumed;
    // Earlier header pairs that were waiting for their tail come first, in stream order.
    for (auto it = pending.begin(); it != pending.end();) {
        const auto kind = FrameDecoder::candidateAt(data, size, *it, frameLength);
        if (kind == FrameDecoder::Candidate::Incomplete) {
            ++it;
            continue;
        }
        const int position = *it;
        it = pending.erase(it);
        if (kind == FrameDecoder::Candidate::WellFramed)
            return position;
    }
    for (int position = FrameDecoder::findCandidate(data, size, resumeAt); position >= 0;
         position = FrameDecoder::findCandidate(data, size, position + 1)) {
        const auto kind = FrameDecoder::candidateAt(data, size, position, frameLength);
        if (kind == FrameDecoder::Candidate::WellFramed) {
            resumeAt = position + 1;
            return position;
        }
        if (kind == FrameDecoder::Candidate::Incomplete)
            pending.push_back(position);
    }
    // Header pairs in the last six bytes have not been looked at yet.
    resumeAt = std::max(resumeAt, size - (FrameDecoder::kMinFrameLength - 1));
    return -1;
}

void FrameReceiver::process(bool gated, const FrameDecoder &decoder, frame_t &record,
                            const FrameSink &sink)
{
    while (!gated || buffered.size() - consumed > kDecodeThreshold) {
        int frameLength = 0;
        const int start = findCommitCandidate(&frameLength);
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
            pending.clear();
            resumeAt = 0;
        } else {
            resetFrame(record);
            ++counters.framesRejected;
            qDebug("error parsing data");
            // A corrupt frame costs only itself: the scan goes on after its first header byte,
            // and a frame that started before it and is still arriving is kept.
            dropDeadBytes();
        }
    }
    // Consumed bytes leave in one move per read, not one per frame.
    buffered.remove(0, consumed);
    consumed = 0;
}

int FrameReceiver::dropDeadBytes()
{
    const int keepFrom = pending.empty() ? resumeAt : std::min(pending.front(), resumeAt);
    if (keepFrom > 0)
        dropFront(keepFrom);
    return keepFrom;
}

void FrameReceiver::dropFront(int count)
{
    counters.bytesDropped += uint64_t(count);
    consumed += count;
    resumeAt -= count;
    for (int &position : pending)
        position -= count;
}
