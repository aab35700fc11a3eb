// SPDX-License-Identifier: MIT
// Everything around the waterfall's pixels: the time axis in seconds, the bin axis, the colour bar
// on the fixed dB scale, and the mode blocks' lines and labels. The live window and vazorez-plot
// both draw with it.
#pragma once

#include <QRect>
#include <QString>

#include <vector>

class QFontMetrics;
class QPainter;
class Waterfall;

struct WaterfallLayout {
    QRect plot; // where the waterfall image goes, pixel for pixel
    QRect colourBar; // the dB scale, -35 at the bottom

    // Leaves room for the axes' labels and titles inside `area`.
    static WaterfallLayout within(const QRect &area, const QFontMetrics &metrics);
};

// A physical x axis in place of the bins: the waterfall's x from 0 to xMax() spans `from` to `to`.
struct WaterfallAxis {
    double from = 0.0;
    double to = 0.0;
    QString title; // "speed (m/s)"
    bool isSet() const { return to != from; }
};

// Steps of 1, 2 or 5 times a power of ten, at most `maxTicks` of them within [from, to].
std::vector<double> niceTicks(double from, double to, int maxTicks);

// Draws the image at layout.plot, then the axes, the colour bar and the mode blocks.
void paintWaterfall(QPainter &painter, const WaterfallLayout &layout, const Waterfall &waterfall,
    const QString &timeTitle, const WaterfallAxis &xAxis = WaterfallAxis());
// The same without the image: for a window that repaints only a part of itself.
void paintWaterfallDecorations(QPainter &painter, const WaterfallLayout &layout,
    const Waterfall &waterfall, const QString &timeTitle, const WaterfallAxis &xAxis = WaterfallAxis());
// The name a block's label gives its modes and bins ("FMCW, bins 0-64").
QString modeBlockLabel(int modes, int width);
