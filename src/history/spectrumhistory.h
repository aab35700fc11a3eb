// SPDX-License-Identifier: MIT
// The history of spectra, reduced over time: time is cut into slots of a fixed length, and every
// frame that falls into a slot is merged into it by the maximum per bin, so that a one-frame spike
// survives any reduction. Memory is a fixed number of slots, however many frames arrive.
#pragma once

#include "spectrumrow.h"

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

struct HistorySlot {
    static constexpr int kMaxBins = 255; // a CW frame of 255 samples
    static constexpr float kEmpty = -std::numeric_limits<float>::infinity();
    enum ModeBit : uint8_t { Cw = 1, Fmcw = 2 };

    int64_t index = -1; // absolute: floor(seconds / slot length); -1 when unused
    int frames = 0;
    uint8_t modes = 0; // ModeBit of every frame merged in
    int width = 0; // the widest frame merged in, in bins
    float iAmplitude = 0;
    float qAmplitude = 0;
    double earliest = 0; // the times of the first and the last frame merged in
    double latest = 0;
    std::array<float, kMaxBins> db;

    void reset(int64_t newIndex);
    // Merges another slot's content (same or finer time) into this one.
    void merge(const HistorySlot &other);
};

class SpectrumHistory {
public:
    enum class Policy {
        Slide, // live: keeps the newest `capacity` slots, older ones drop out
        Grow, // offline: keeps everything, doubling the slot length whenever it runs out of slots
    };

    // The live window's default: the last 30 s in 512 slots of 58.6 ms, so that at line rate (a
    // 128-sample frame every 90 ms) every frame has a row of its own.
    static constexpr int kLiveSlots = 512;
    static constexpr double kLiveSeconds = 30.0;

    SpectrumHistory(int capacity, double slotSeconds, Policy policy);
    static SpectrumHistory live()
    {
        return SpectrumHistory(kLiveSlots, kLiveSeconds / kLiveSlots, Policy::Slide);
    }

    void add(const SpectrumRow &row);
    // The same without building a row: the worker's and the offline tool's path, once per frame.
    void add(const frame_t &record, double seconds);
    // Merges a slot of a history with the same slot length (see HistoryTap).
    void merge(const HistorySlot &slot);
    void clear();

    int capacity() const { return int(ring.size()); }
    double slotSeconds() const { return slotLength; }
    double spanSeconds() const { return slotLength * double(ring.size()); }
    Policy policy() const { return growPolicy ? Policy::Grow : Policy::Slide; }
    bool isEmpty() const { return newest < 0; }
    // The slots held are oldestIndex() to newestIndex(); some may be unused (gaps).
    int64_t newestIndex() const { return newest; }
    int64_t oldestIndex() const;
    // The slot of absolute index `index`, or null when it is not held or unused.
    const HistorySlot *slotAt(int64_t index) const;

    // Counts every frame added since the last clear, also those merged away or too old to keep.
    int64_t frameCount() const { return frames; }
    double firstSeconds() const { return first; }
    double lastSeconds() const { return last; }
    // The widest frame since the last clear, in bins.
    int widest() const { return widestBins; }

    // What a view must redraw: the lowest slot index changed since takeChanges, and a generation
    // that moves whenever every slot may have changed (clear, coarser slots).
    int64_t changedFrom() const { return changedFromIndex; }
    uint64_t generation() const { return generationCount; }
    void takeChanges() { changedFromIndex = INT64_MAX; }

private:
    HistorySlot *slotFor(double seconds);
    void halveResolution();
    void noteFrames(double earliest, double latest, int count, int width);

    std::vector<HistorySlot> ring; // index k lives at k mod capacity
    double slotLength;
    bool growPolicy;
    int64_t newest = -1;
    int64_t oldestGrow = -1; // Grow: the first slot index
    int64_t frames = 0;
    double first = 0;
    double last = 0;
    int widestBins = 0;
    int64_t changedFromIndex = INT64_MAX;
    uint64_t generationCount = 0;
};
