// SPDX-License-Identifier: MIT
#include "waterfall.h"

#include "colourmap.h"

#include <algorithm>
#include <cmath>
#include <cstring>

void Waterfall::setSize(QSize size)
{
    size = size.expandedTo(QSize(1, 1));
    picture = QImage(size, QImage::Format_RGB32);
    picture.fill(ColourMap::kNoData);
    rowModes.assign(size_t(size.height()), 0);
    rowWidths.assign(size_t(size.height()), 0);
    rowFrames.assign(size_t(size.height()), 0);
    following = false;
    prepareColumns(shownXMax);
}

int Waterfall::xMaxFor(int widestBins)
{
    return widestBins <= 0 ? 128 : (widestBins + 15) / 16 * 16;
}

void Waterfall::prepareColumns(int xMax)
{
    shownXMax = xMax;
    const int width = picture.width();
    columnFirstBin.resize(size_t(width));
    columnEndBin.resize(size_t(width));
    for (int c = 0; c < width; ++c) {
        columnFirstBin[size_t(c)] = int(int64_t(c) * xMax / width);
        // A column narrower than a bin still shows the bin it lies in.
        columnEndBin[size_t(c)]
            = std::max(int(int64_t(c + 1) * xMax / width), columnFirstBin[size_t(c)] + 1);
    }
}

int Waterfall::rowOf(double seconds) const
{
    // Row y holds the times from top - (y + 1) * rowLength up to, not including, top - y *
    // rowLength.
    return int(std::ceil((top - seconds) / rowLength)) - 1;
}

int Waterfall::columnOf(double bin) const
{
    return int(std::ceil(bin * picture.width() / shownXMax));
}

void Waterfall::renderRow(const SpectrumHistory &history, int y)
{
    // The slots whose middle lies in the row's time; a row shorter than a slot shows the slot
    // its own middle lies in.
    const int64_t rowIndex = following ? topRow - y : 0;
    const double to = following ? double(rowIndex + 1) * rowLength : top - y * rowLength;
    const double from = following ? double(rowIndex) * rowLength : top - (y + 1) * rowLength;
    const double slot = history.slotSeconds();
    int64_t firstSlot = int64_t(std::ceil(from / slot - 0.5));
    int64_t lastSlot = int64_t(std::ceil(to / slot - 0.5)) - 1;
    // A slot's frames count in the one row its middle lies in, however many rows show it.
    bool ownSlots = firstSlot <= lastSlot;
    if (firstSlot > lastSlot)
        firstSlot = lastSlot = int64_t(std::floor(0.5 * (from + to) / slot));
    firstSlot = std::max(firstSlot, history.oldestIndex());
    lastSlot = std::min(lastSlot, history.newestIndex());

    // A row between two frames holds the newest older one if it is recent: at line rate a frame
    // comes every 90 ms, more than a row of the live window, and the picture is not striped.
    bool found = false;
    for (int64_t index = firstSlot; index <= lastSlot && !found; ++index)
        found = history.slotAt(index) != nullptr;
    if (!found) {
        const int64_t oldestHeld
            = std::max(history.oldestIndex(), int64_t(std::floor((from - kHoldSeconds) / slot)));
        for (int64_t index = std::min(firstSlot - 1, history.newestIndex()); index >= oldestHeld;
             --index)
            if (history.slotAt(index)) {
                firstSlot = lastSlot = index;
                ownSlots = false;
                break;
            }
    }

    uint8_t modes = 0;
    int width = 0;
    int frames = 0;
    for (int64_t index = firstSlot; index <= lastSlot; ++index) {
        const HistorySlot *source = history.slotAt(index);
        if (!source || source->frames == 0)
            continue;
        const int common = std::min(width, source->width);
        for (int j = 0; j < common; ++j)
            rowDb[size_t(j)] = std::max(rowDb[size_t(j)], source->db[size_t(j)]);
        for (int j = common; j < source->width; ++j)
            rowDb[size_t(j)] = source->db[size_t(j)];
        width = std::max(width, source->width);
        modes |= source->modes;
        if (ownSlots)
            frames += source->frames;
    }
    rowModes[size_t(y)] = modes;
    rowWidths[size_t(y)] = uint8_t(width);
    rowFrames[size_t(y)] = uint8_t(std::min(frames, 255));

    auto *line = reinterpret_cast<QRgb *>(picture.scanLine(y));
    const auto &colours = ColourMap::viridis();
    for (int c = 0; c < picture.width(); ++c) {
        const int firstBin = columnFirstBin[size_t(c)];
        if (firstBin >= width) {
            line[c] = ColourMap::kNoData;
            continue;
        }
        const int endBin = std::min(columnEndBin[size_t(c)], width);
        float value = rowDb[size_t(firstBin)];
        for (int j = firstBin + 1; j < endBin; ++j)
            value = std::max(value, rowDb[size_t(j)]);
        line[c] = value == HistorySlot::kEmpty ? ColourMap::kNoData
                                               : colours[size_t(ColourMap::levelForDb(value))];
    }
}

void Waterfall::shiftDown(int rows)
{
    const int height = picture.height();
    const int bytesPerLine = picture.bytesPerLine();
    uchar *bits = picture.bits();
    std::memmove(bits + size_t(rows) * size_t(bytesPerLine), bits,
        size_t(height - rows) * size_t(bytesPerLine));
    std::memmove(rowModes.data() + rows, rowModes.data(), size_t(height - rows));
    std::memmove(rowWidths.data() + rows, rowWidths.data(), size_t(height - rows));
    std::memmove(rowFrames.data() + rows, rowFrames.data(), size_t(height - rows));
}

int Waterfall::follow(SpectrumHistory &history)
{
    if (picture.isNull())
        setSize(QSize(1, 1));
    const int height = picture.height();
    if (history.isEmpty()) {
        const bool wasShowing = following;
        if (following || history.generation() != generationSeen) {
            picture.fill(ColourMap::kNoData);
            std::fill(rowModes.begin(), rowModes.end(), 0);
            std::fill(rowWidths.begin(), rowWidths.end(), 0);
            std::fill(rowFrames.begin(), rowFrames.end(), 0);
            following = false;
            generationSeen = history.generation();
        }
        history.takeChanges();
        return wasShowing ? height : 0;
    }
    const double length = history.spanSeconds() / height;
    const double newestMiddle = (double(history.newestIndex()) + 0.5) * history.slotSeconds();
    const int64_t newTop = int64_t(std::floor(newestMiddle / length));
    const int xMax = xMaxFor(history.widest());
    const bool redrawAll = !following || history.generation() != generationSeen || xMax != shownXMax
        || length != rowLength || newTop < topRow || newTop - topRow >= height;

    int firstRedrawn = 0, lastRedrawn = height - 1;
    if (redrawAll) {
        if (xMax != shownXMax)
            prepareColumns(xMax);
        following = true;
        generationSeen = history.generation();
        rowLength = length;
    } else {
        const int shift = int(newTop - topRow);
        if (shift == 0 && history.changedFrom() == INT64_MAX)
            return 0;
        if (shift > 0)
            shiftDown(shift);
        // Down to the row where the oldest changed slot starts: with rows shorter than a slot,
        // one slot covers several rows.
        const double changedStart = double(history.changedFrom()) * history.slotSeconds();
        const int64_t changedRow = int64_t(std::floor(changedStart / rowLength));
        lastRedrawn = int(std::clamp<int64_t>(newTop - changedRow, shift - 1, height - 1));
    }
    topRow = newTop;
    top = double(topRow + 1) * rowLength;
    int drawn = 0;
    for (int y = firstRedrawn; y <= lastRedrawn; ++y, ++drawn)
        renderRow(history, y);
    // The bottom rows may show (or hold) a slot the history has just let go.
    const int bottomRows = int(std::ceil((kHoldSeconds + history.slotSeconds()) / rowLength)) + 1;
    for (int y = std::max(lastRedrawn + 1, height - bottomRows); y < height; ++y, ++drawn)
        renderRow(history, y);
    history.takeChanges();
    return drawn;
}

void Waterfall::renderRange(const SpectrumHistory &history, double from, double to)
{
    if (picture.isNull())
        setSize(QSize(1, 1));
    following = false;
    const int height = picture.height();
    rowLength = std::max(to - from, 1e-9) / height;
    top = to;
    prepareColumns(xMaxFor(history.widest()));
    for (int y = 0; y < height; ++y)
        renderRow(history, y);
}

std::vector<ModeBlock> Waterfall::modeBlocks() const
{
    // Runs of one mode; rows without data belong to no run (a gap does not end a run).
    std::vector<ModeBlock> runs;
    for (int y = 0; y < int(rowModes.size()); ++y) {
        const uint8_t modes = rowModes[size_t(y)];
        if (modes == 0)
            continue;
        if (runs.empty() || runs.back().modes != modes)
            runs.push_back({y, y, modes, 0, 0});
        runs.back().bottom = y;
        runs.back().width = std::max<int>(runs.back().width, rowWidths[size_t(y)]);
        runs.back().frames += rowFrames[size_t(y)];
    }
    // Consecutive short runs are one block of mixed modes; a lone short run stays a block.
    std::vector<ModeBlock> blocks;
    auto isShort = [](const ModeBlock &run) {
        return run.bottom - run.top + 1 < kMinBlockRows || run.frames < kMinBlockFrames;
    };
    for (size_t k = 0; k < runs.size(); ++k) {
        const ModeBlock &run = runs[k];
        if (isShort(run) && !blocks.empty() && isShort(runs[k - 1])) {
            ModeBlock &block = blocks.back();
            block.bottom = run.bottom;
            block.modes |= run.modes;
            block.width = std::max(block.width, run.width);
            block.frames += run.frames;
            continue;
        }
        blocks.push_back(run);
    }
    return blocks;
}
