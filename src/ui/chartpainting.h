// SPDX-License-Identifier: MIT
// What keeps the two live charts cheap to draw, frame after frame, without changing their
// picture: the window's charts are set up with these once they are built.
#pragma once

#include "chartscompat.h"

class QGraphicsItem;
QT_CHARTS_BEGIN_NAMESPACE
class QChart;
class QChartView;
QT_CHARTS_END_NAMESPACE

namespace ChartPainting {

// The axes' lines (axis line, ticks, grid, minor grid) drawn with zero-width (cosmetic) pens of
// the theme's colours and dashes. On a chart drawn at its own scale a one-pixel pen and a cosmetic
// pen paint the same pixels, but the scene asks every line item for its bounding rectangle on
// each repaint and on each move, and for a pen with a width Qt strokes the line's outline to
// answer: more work than drawing the line.
void useCosmeticAxisPens(QtCharts::QChart *chart);

// The views repaint what changed as it is, without growing each changed rectangle by two pixels
// for antialiasing: the charts draw without it, and the axis labels beside the plot area are not
// painted again for every frame.
void tuneView(QtCharts::QChartView *view);

// Grid lines, ticks and axis lines stay put from frame to frame, but each frame repaints the plot
// area under the series, and restroking the dashed minor grid costs more than the series
// themselves. Cached as device pixmaps they paint the same pixels at the cost of a blit; Qt drops
// an item's cache whenever the item changes. The spectrum's circle markers are not cached: they
// move by fractions of a pixel with every frame, and a cached marker is blitted at the old
// fraction. Items that appear later (a chart's first layout) are cached by calling it again.
void cacheAxisArt(QGraphicsItem *parent);

} // namespace ChartPainting
