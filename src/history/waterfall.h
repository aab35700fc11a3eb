// SPDX-License-Identifier: MIT
// The waterfall's plot area as an image: one pixel row per time step, the newest at the top,
// x = the spectrum's bin index as the FFT chart plots it, colour = dB. Rows come from a
// SpectrumHistory; where several slots fall into one pixel row they are merged by their maximum.
#pragma once

#include "spectrumhistory.h"

#include <QImage>
#include <QSize>

#include <cstdint>
#include <vector>

// A run of rows of one mode (or of rows alternating too fast to tell apart), in image rows.
struct ModeBlock {
    int top = 0;
    int bottom = 0; // inclusive
    uint8_t modes = 0; // HistorySlot::ModeBit
    int width = 0; // the widest frame in the block, in bins
    int frames = 0; // frames drawn in the block's rows (rows between frames hold none)
};

class Waterfall {
public:
    // Runs of rows shorter than this, or of fewer frames, that follow each other are one block
    // (an alternating board). Two frames: where the line loses a frame of an alternating board,
    // two frames of one mode follow each other, and that starts no block.
    static constexpr int kMinBlockRows = 4;
    static constexpr int kMinBlockFrames = 3;
    // A row without a frame of its own shows the newest frame up to this much older (the gaps of
    // a board at line rate, not a board that stopped).
    static constexpr double kHoldSeconds = 0.2;

    // The plot area, in pixels; the next render draws every row.
    void setSize(QSize size);
    QSize size() const { return picture.size(); }

    // Live: the history's whole span over the height, the newest slot in the top row. Moves the
    // rows already drawn down by the time that passed and draws only the rows that changed (the
    // new ones and the one the newest slot grew in), unless the scale changed. Returns the number
    // of rows drawn.
    int follow(SpectrumHistory &history);
    // A fixed time range over the whole height, `to` at the top: the whole picture at once.
    void renderRange(const SpectrumHistory &history, double from, double to);

    const QImage &image() const { return picture; }
    double topSeconds() const { return top; }
    double bottomSeconds() const { return top - rowLength * picture.height(); }
    double rowSeconds() const { return rowLength; }
    // The x axis runs from 0 to xMax(): the widest frame's bin count, rounded up to 16.
    int xMax() const { return shownXMax; }
    static int xMaxFor(int widestBins);
    std::vector<ModeBlock> modeBlocks() const;

    // The pixel row of a time and the pixel column of a bin's left edge.
    int rowOf(double seconds) const;
    int columnOf(double bin) const;

private:
    void prepareColumns(int xMax);
    void renderRow(const SpectrumHistory &history, int y);
    void shiftDown(int rows);

    QImage picture;
    std::vector<uint8_t> rowModes;
    std::vector<uint8_t> rowWidths;
    std::vector<uint8_t> rowFrames; // up to 255
    // Column c shows bins columnFirstBin[c] to columnEndBin[c] - 1, by their maximum.
    std::vector<int> columnFirstBin;
    std::vector<int> columnEndBin;
    std::array<float, HistorySlot::kMaxBins> rowDb{};
    double rowLength = 1.0;
    double top = 0.0;
    int64_t topRow = 0; // live: the absolute index (time / rowLength) of the top row
    bool following = false;
    uint64_t generationSeen = 0;
    int shownXMax = 128;
};
