// SPDX-License-Identifier: MIT
#include "spectrumhistory.h"

#include <algorithm>
#include <cmath>

void HistorySlot::reset(int64_t newIndex)
{
    index = newIndex;
    frames = 0;
    modes = 0;
    width = 0;
    iAmplitude = 0;
    qAmplitude = 0;
    earliest = latest = 0;
    db.fill(kEmpty);
}

void HistorySlot::merge(const HistorySlot &other)
{
    earliest = frames ? std::min(earliest, other.earliest) : other.earliest;
    latest = frames ? std::max(latest, other.latest) : other.latest;
    frames += other.frames;
    modes |= other.modes;
    width = std::max(width, other.width);
    iAmplitude = std::max(iAmplitude, other.iAmplitude);
    qAmplitude = std::max(qAmplitude, other.qAmplitude);
    for (int j = 0; j < other.width; ++j)
        db[size_t(j)] = std::max(db[size_t(j)], other.db[size_t(j)]);
}

SpectrumHistory::SpectrumHistory(int capacity, double slotSeconds, Policy policy)
    : ring(size_t(std::max(capacity, 2)))
    , slotLength(slotSeconds)
    , growPolicy(policy == Policy::Grow)
{
}

void SpectrumHistory::clear()
{
    for (HistorySlot &slot : ring)
        slot.index = -1;
    newest = -1;
    oldestGrow = -1;
    frames = 0;
    first = last = 0;
    widestBins = 0;
    changedFromIndex = INT64_MAX;
    ++generationCount;
}

int64_t SpectrumHistory::oldestIndex() const
{
    if (newest < 0)
        return -1;
    return growPolicy ? oldestGrow : std::max<int64_t>(0, newest - capacity() + 1);
}

const HistorySlot *SpectrumHistory::slotAt(int64_t index) const
{
    if (index < 0 || newest < 0 || index > newest || index < oldestIndex())
        return nullptr;
    const HistorySlot &slot = ring[size_t(index % capacity())];
    return slot.index == index ? &slot : nullptr;
}

void SpectrumHistory::halveResolution()
{
    // Slots k and k + 1 (k even) become slot k / 2 of twice the length: absolute indices keep
    // every slot boundary on the same grid, so nothing is shifted in time.
    std::vector<HistorySlot> held;
    held.reserve(ring.size());
    for (HistorySlot &slot : ring) {
        if (slot.index >= 0)
            held.push_back(slot);
        slot.index = -1;
    }
    slotLength *= 2.0;
    oldestGrow /= 2;
    newest /= 2;
    for (const HistorySlot &old : held) {
        const int64_t index = old.index / 2;
        HistorySlot &slot = ring[size_t(index % capacity())];
        if (slot.index != index)
            slot.reset(index);
        slot.merge(old);
    }
    ++generationCount;
}

HistorySlot *SpectrumHistory::slotFor(double seconds)
{
    int64_t index = int64_t(std::floor(std::max(seconds, 0.0) / slotLength));
    if (newest < 0) {
        newest = index;
        oldestGrow = index;
    } else if (growPolicy) {
        index = std::max(index, oldestGrow); // a recording whose clock steps back stays in view
        while (index - oldestGrow >= capacity()) {
            halveResolution();
            index = int64_t(std::floor(std::max(seconds, 0.0) / slotLength));
            index = std::max(index, oldestGrow);
        }
        newest = std::max(newest, index);
    } else if (index > newest) {
        newest = index;
    } else if (index <= newest - capacity()) {
        return nullptr; // older than anything kept
    }
    HistorySlot &slot = ring[size_t(index % capacity())];
    if (slot.index != index)
        slot.reset(index);
    changedFromIndex = std::min(changedFromIndex, index);
    return &slot;
}

void SpectrumHistory::noteFrames(double earliest, double latest, int count, int width)
{
    first = frames == 0 ? earliest : std::min(first, earliest);
    last = frames == 0 ? latest : std::max(last, latest);
    frames += count;
    widestBins = std::max(widestBins, width);
}

void SpectrumHistory::add(const SpectrumRow &row)
{
    const int width = std::min(int(row.db.size()), HistorySlot::kMaxBins);
    noteFrames(row.seconds, row.seconds, 1, width);
    HistorySlot *slot = slotFor(row.seconds);
    if (!slot)
        return;
    slot->earliest = slot->frames ? std::min(slot->earliest, row.seconds) : row.seconds;
    slot->latest = std::max(slot->latest, row.seconds);
    ++slot->frames;
    slot->modes |= row.mode ? HistorySlot::Fmcw : HistorySlot::Cw;
    slot->width = std::max(slot->width, width);
    slot->iAmplitude = std::max(slot->iAmplitude, row.iAmplitude);
    slot->qAmplitude = std::max(slot->qAmplitude, row.qAmplitude);
    for (int j = 0; j < width; ++j)
        slot->db[size_t(j)] = std::max(slot->db[size_t(j)], row.db[j]);
}

void SpectrumHistory::add(const frame_t &record, double seconds)
{
    const int width = std::min(int(record.fft_bins.size()), HistorySlot::kMaxBins);
    noteFrames(seconds, seconds, 1, width);
    HistorySlot *slot = slotFor(seconds);
    if (!slot)
        return;
    slot->earliest = slot->frames ? std::min(slot->earliest, seconds) : seconds;
    slot->latest = std::max(slot->latest, seconds);
    ++slot->frames;
    slot->modes |= record.modulation ? HistorySlot::Fmcw : HistorySlot::Cw;
    slot->width = std::max(slot->width, width);
    slot->iAmplitude = std::max(slot->iAmplitude, peakToPeak(record.i_samples));
    slot->qAmplitude = std::max(slot->qAmplitude, peakToPeak(record.q_samples));
    const QPointF *bins = record.fft_bins.constData();
    for (int j = 0; j < width; ++j)
        slot->db[size_t(j)] = std::max(slot->db[size_t(j)], float(bins[j].y()));
}

void SpectrumHistory::merge(const HistorySlot &incoming)
{
    if (incoming.index < 0 || incoming.frames == 0)
        return;
    noteFrames(incoming.earliest, incoming.latest, incoming.frames, incoming.width);
    if (HistorySlot *slot = slotFor(incoming.latest))
        slot->merge(incoming);
}
