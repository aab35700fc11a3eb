// SPDX-License-Identifier: MIT
// The receive-and-consume rules on a stream of valid frames planted in fuzzer-chosen garbage, fed
// in fuzzer-chosen chunks: whatever the chunking, exactly the frames of one pass over the whole
// stream come out, in order (so every planted frame does, unless it lies inside or across another
// frame that was itself valid); the buffer stays below a largest frame; every byte is accounted for.
#include "framedecoder.h"
#include "frameencoder.h"
#include "framereceiver.h"

#include <QtGlobal>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "contract broken: %s\n", what);
        std::abort();
    }
}

void silence(QtMsgType, const QMessageLogContext &, const QString &) {}

struct Span
{
    uint64_t start;
    int length;
};

// Reads the input as a little program: each step plants a frame or copies garbage, and says how
// the bytes so far are cut into reads.
struct Program
{
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    uint8_t next() { return at < size ? data[at++] : 0; }
    bool done() const { return at >= size; }
};

// One pass over the whole stream: a header pair whose whole frame is there, ends in 16 and checks
// out is a frame and the pass jumps past it; anything else costs one byte.
std::vector<Span> framesOf(const QByteArray &stream)
{
    FrameDecoder decoder;
    frame_t scratch;
    std::vector<Span> frames;
    const char *data = stream.constData();
    const int size = stream.size();
    for (int position = 0; position < size;) {
        int length = 0;
        if (FrameDecoder::candidateAt(data, size, position, &length) == FrameDecoder::Candidate::WellFramed
            && decoder.decodeFrame(data + position, length, scratch) == FrameDecoder::Decoded) {
            frames.push_back({uint64_t(position), length});
            position += length;
            resetFrame(scratch);
            continue;
        }
        ++position;
    }
    return frames;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool quiet = (qInstallMessageHandler(silence), true);
    (void)quiet;
    if (size > 1 << 16)
        return 0;

    Program program {data, size};
    QByteArray stream;
    std::vector<Span> planted;
    std::vector<int> chunks;
    int counter = 0;
    while (!program.done()) {
        const uint8_t op = program.next();
        if (op % 3 == 0) {
            FrameValues values;
            values.mode = program.next() & 1;
            values.byte3 = uint8_t(counter);
            const int n = program.next() % 160;
            for (int k = 0; k < n; ++k) {
                values.i.push_back(int16_t(counter * 131 + k * program.next()));
                values.q.push_back(int16_t(k));
                values.s.push_back(int32_t(counter * 7919 + k));
            }
            planted.push_back({uint64_t(stream.size()), FrameDecoder::frameLength(n)});
            appendFrame(stream, values);
            ++counter;
        } else {
            const int length = program.next() * (op % 3);
            for (int k = 0; k < length && !program.done(); ++k)
                stream.append(char(program.next()));
        }
        chunks.push_back(1 + program.next() * (op >> 4 ? 17 : 1));
    }

    FrameReceiver receiver;
    FrameDecoder decoder;
    frame_t record;
    std::vector<Span> emitted;
    uint64_t fed = 0;
    uint64_t frameBytes = 0;
    const auto sink = [&](const frame_t &, const char *bytes, int length) {
        const uint64_t bufferStart = fed - uint64_t(receiver.buffer().size());
        const uint64_t start = bufferStart + uint64_t(bytes - receiver.buffer().constData());
        check(std::memcmp(bytes, stream.constData() + start, size_t(length)) == 0, "frame bytes are the stream's");
        check(emitted.empty() || emitted.back().start + uint64_t(emitted.back().length) <= start,
              "frames come out in order without overlap");
        emitted.push_back({start, length});
        frameBytes += uint64_t(length);
    };
    size_t chunk = 0;
    for (int at = 0; at < stream.size();) {
        const int length = std::min(chunks.empty() ? 1 : chunks[chunk++ % chunks.size()], int(stream.size()) - at);
        fed += uint64_t(length);
        receiver.receive(stream.constData() + at, length, decoder, record, sink);
        at += length;
        check(receiver.buffer().size() < FrameDecoder::kMaxFrameLength, "junk never piles up");
    }
    receiver.flush(decoder, record, sink);

    const auto &stats = receiver.stats();
    check(stats.bytesReceived == frameBytes + stats.bytesDropped + uint64_t(receiver.buffer().size()),
          "every byte is in a frame, dropped or still buffered");
    const std::vector<Span> expected = framesOf(stream);
    check(emitted.size() == expected.size(), "as many frames as one pass over the whole stream finds");
    for (size_t k = 0; k < emitted.size(); ++k)
        check(emitted[k].start == expected[k].start && emitted[k].length == expected[k].length,
              "the frames of one pass over the whole stream, whatever the chunking");
    size_t e = 0;
    for (const Span &frame : planted) {
        while (e < emitted.size() && emitted[e].start + uint64_t(emitted[e].length) <= frame.start)
            ++e;
        const bool found = e < emitted.size() && emitted[e].start == frame.start;
        const bool inside = e < emitted.size() && emitted[e].start < frame.start + uint64_t(frame.length)
            && frame.start < emitted[e].start + uint64_t(emitted[e].length);
        check(found || inside, "a planted frame is emitted, or lies inside another valid frame");
    }
    return 0;
}
