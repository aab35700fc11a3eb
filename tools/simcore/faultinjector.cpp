// SPDX-License-Identifier: MIT
#include "faultinjector.h"

#include "frameencoder.h"

namespace {
constexpr char kHeader0 = char(0xA2);
constexpr char kEnd = char(0x16);
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

void FaultInjector::appendJunk(QByteArray &out, bool strayHeader)
{
    // Junk holds no header byte and no end byte of its own, so that the faults are exactly the
    // ones asked for: it can neither start a frame nor close a cut-off one by accident.
    auto junkByte = [this] {
        char c;
        do {
            c = char(random() & 0xFF);
        } while (c == kHeader0 || c == kEnd);
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
        out.append(junkByte()); // where the end byte would be
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

    if (junk || stray)
        appendJunk(out, stray);
    if (!badChecksum && !badMode && !truncate) {
        out += frame;
        return false;
    }
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
    out += broken;
    return true;
}
