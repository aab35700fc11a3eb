// SPDX-License-Identifier: MIT
// The picture of a whole recording: a title, the I and Q of one frame (or each frame's I and Q
// peak-to-peak over time) and below it the waterfall of every frame, reduced to the picture's
// height by the maximum per pixel row.
#pragma once

#include "radaranalyzer.h"
#include "spectrumhistory.h"
#include "waterfallpainter.h"

#include <QImage>
#include <QString>

#include <memory>
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

    // From now on the waterfall shows the host's own spectrum on the profile's axis, m/s or
    // metres, for the frames of the first frame's mode; the others are left out.
    void setRadar(const RadarProfile &profile, const RadarSettings &settings);
    void add(const frame_t &record, double seconds);
    const SpectrumHistory &history() const { return spectra; }
    // With a radar profile: frames of the other mode, not drawn.
    int64_t framesLeftOut() const { return leftOut; }
    int radarMode() const { return shownMode; }

    // Draws the picture; `title` heads it, `chosen` replaces the summary panel.
    QImage render(QSize size, const QString &title, const std::optional<ChosenFrame> &chosen) const;

private:
    SpectrumHistory spectra;
    std::unique_ptr<RadarAnalyzer> analyzer;
    RadarAnalysis analysis;
    frame_t row;
    WaterfallAxis axis;
    int shownMode = -1;
    int64_t leftOut = 0;
};
