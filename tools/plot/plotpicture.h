// SPDX-License-Identifier: MIT
// The picture of a whole recording: a title, the I and Q of one frame (or each frame's I and Q
// peak-to-peak over time) and below it the waterfall of every frame, reduced to the picture's
// height by the maximum per pixel row.
#pragma once

#include "spectrumhistory.h"

#include <QImage>
#include <QString>

#include <optional>

struct ChosenFrame {
    int64_t index = 0;
    double seconds = 0;
    int mode = 0;
    std::vector<int16_t> i, q;
};

class PlotPicture {
public:
    // Slots enough that every pixel row of any sensible height merges two or more of them.
    explicit PlotPicture(int pictureHeight);

    void add(const frame_t &record, double seconds) { spectra.add(record, seconds); }
    const SpectrumHistory &history() const { return spectra; }

    // Draws the picture; `title` heads it, `chosen` replaces the summary panel.
    QImage render(QSize size, const QString &title, const std::optional<ChosenFrame> &chosen) const;

private:
    SpectrumHistory spectra;
};
