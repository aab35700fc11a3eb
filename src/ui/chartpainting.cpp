// SPDX-License-Identifier: MIT
#include "chartpainting.h"

#include <QGraphicsLineItem>
#include <QPen>
#include <QtCharts/QAbstractAxis>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>

using namespace QtCharts;

namespace ChartPainting {

namespace {

QPen cosmetic(QPen pen)
{
    // Only a one-pixel pen paints as a cosmetic one; a wider pen keeps its width.
    if (pen.widthF() == 1.0) {
        pen.setWidthF(0.0);
        pen.setCosmetic(true);
    }
    return pen;
}

} // namespace

void useCosmeticAxisPens(QChart *chart)
{
    for (QAbstractAxis *axis : chart->axes()) {
        axis->setLinePen(cosmetic(axis->linePen()));
        axis->setGridLinePen(cosmetic(axis->gridLinePen()));
        axis->setMinorGridLinePen(cosmetic(axis->minorGridLinePen()));
    }
}

void tuneView(QChartView *view)
{
    view->setOptimizationFlag(QGraphicsView::DontAdjustForAntialiasing);
}

void cacheAxisArt(QGraphicsItem *parent)
{
    for (QGraphicsItem *item : parent->childItems()) {
        if (item->type() == QGraphicsLineItem::Type && item->cacheMode() == QGraphicsItem::NoCache)
            item->setCacheMode(QGraphicsItem::DeviceCoordinateCache);
        cacheAxisArt(item);
    }
}

} // namespace ChartPainting
