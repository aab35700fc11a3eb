// SPDX-License-Identifier: MIT
#include "faultinjector.h"

#include "framedecoder.h"
#include "frameencoder.h"

#include <algorithm>

namespace {

constexpr char kHeader0 = char(FrameDecoder::kHeaderByte0);
constexpr char kEnd = char(FrameDecoder::kEndByte);
// Fresh junk is drawn this many times before the last draw leaves header and end bytes out.
constexpr int kJunkDraws = 8;

// True when no valid frame other than the one at `frameAt` (if any) ends after `from`: junk that
// happens to form a valid frame, or to close a frame cut off before it, would be shown.
bool onlyIntendedFrame(const QByteArray &stream, int from, int frameAt)
{
    const int contextStart = std::max(0, from - FrameDecoder::kMaxFrameLength);
    const char *data = stream.constData();
    const FrameDecoder decoder;
    frame_t scratch;
    for (int position = FrameDecoder::findCandidate(data, stream.size(), contextStart); position >= 0;
         position = FrameDecoder::findCandidate(data, stream.size(), position + 1)) {
        int length = 0;
        if (position == frameAt
            || FrameDecoder::candidateAt(data, stream.size(), position, &length) != FrameDecoder::Candidate::WellFramed
            || position + length <= from)
            continue;
        const bool valid = decoder.decodeFrame(data + position, length, scratch) == FrameDecoder::Decoded;
        resetFrame(scratch);
        if (valid)
            return false;
    }
    return true;
}

} // namespace

FaultInjector::FaultInjector(const FaultRates &rates, uint32_t seed)
    : rates(rates)
    , random(seed ^ 0x5EED5EEDu)
{
}

bool FaultInjector::chance(double probability)
{
    // Always draw, so that switching one fault on does not shift the others.
    const double draw = double(random()) / 4294967296.0;
    return draw < probability;
}

void FaultInjector::appendJunk(QByteArray &out, bool strayHeader, bool withoutMarkers)
{
    // Junk is any byte, as line noise is, header and end bytes included; append() makes sure it
    // never forms a valid frame. The last resort leaves those bytes out.
    auto junkByte = [this, withoutMarkers] {
        char c;
        do {
            c = char(random() & 0xFF);
        } while (withoutMarkers && (c == kHeader0 || c == kEnd));
        return c;
    };
    auto notEndByte = [this] {
        char c;
        do {
            c = char(random() & 0xFF);
        } while (c == kEnd);
        return c;
    };
    const int before = int(random() % 64);
    for (int k = 0; k < before; ++k)
        out.append(junkByte());
    if (strayHeader) {
        // A2 E0, mode, byte 3, then a count whose frame would end inside this junk on a byte
        // that is not the end byte: a candidate the viewer must skip.
        const int n = int(random() % 4);
        out.append(kHeader0);
        out.append(char(0xE0));
        for (int k = 2; k < 8 * n + 6; ++k)
            out.append(k == 4 ? char(n) : junkByte());
        out.append(notEndByte()); // where the end byte would be
    }
    const int after = int(random() % 64);
    for (int k = 0; k < after; ++k)
        out.append(junkByte());
}

bool FaultInjector::append(QByteArray &out, const QByteArray &frame)
{
    const bool junk = chance(rates.junk);
    const bool stray = chance(rates.strayHeader);
    const bool badChecksum = chance(rates.badChecksum);
    const bool badMode = chance(rates.badMode);
    const bool truncate = chance(rates.truncate);
    const uint32_t detail = random();

    const bool broken = badChecksum || badMode || truncate;
    const int start = out.size();
    for (int draw = 1;; ++draw) {
        out.truncate(start);
        if (junk || stray)
            appendJunk(out, stray, draw == kJunkDraws);
        const int frameAt = out.size();
        out += broken ? breakFrame(frame, badChecksum, badMode, truncate, detail) : frame;
        // The faults counted must be exactly the ones made: the junk may not form a frame of its
        // own, nor close one cut off before it.
        if (!(junk || stray) || draw == kJunkDraws || onlyIntendedFrame(out, start, broken ? -1 : frameAt))
            return broken;
    }
}

QByteArray FaultInjector::breakFrame(const QByteArray &frame, bool badChecksum, bool badMode, bool truncate,
                                     uint32_t detail)
{
    QByteArray broken = frame;
    const int length = broken.size();
    if (badMode) {
        broken[2] = char(2 + detail % 254); // checksum kept right: only the mode is wrong
        broken[length - 2] = char(frameChecksum(broken.constData(), length));
    }
    if (badChecksum)
        broken[length - 2] = char(uint8_t(broken.at(length - 2)) + 1 + detail % 255);
    if (truncate)
        broken.truncate(1 + int(detail % uint32_t(length - 1)));
    return broken;
}
