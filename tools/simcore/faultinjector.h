// SPDX-License-Identifier: MIT
// Turns a sequence of frames into a line byte stream with faults on demand.
#pragma once

#include <QByteArray>

#include <cstdint>
#include <random>

struct FaultRates
{
    double junk = 0.0;        // random bytes between frames, any byte value
    double strayHeader = 0.0; // a false header pair in the junk
    double badChecksum = 0.0;
    double badMode = 0.0;
    double truncate = 0.0; // a frame cut short

    bool any() const { return junk > 0 || strayHeader > 0 || badChecksum > 0 || badMode > 0 || truncate > 0; }
};

class FaultInjector
{
public:
    FaultInjector(const FaultRates &rates, uint32_t seed);

    // Appends `frame` to `out`, perhaps preceded by junk and perhaps broken. Returns true when the
    // frame itself was broken on purpose (the viewer must not show it).
    bool append(QByteArray &out, const QByteArray &frame);

private:
    bool chance(double probability);
    void appendJunk(QByteArray &out, bool strayHeader, bool withoutMarkers);
    static QByteArray breakFrame(const QByteArray &frame, bool badChecksum, bool badMode, bool truncate,
                                 uint32_t detail);

    FaultRates rates;
    std::mt19937 random;
};
