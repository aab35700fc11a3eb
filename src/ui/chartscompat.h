// SPDX-License-Identifier: MIT
// Qt Charts keeps its classes in the namespace QtCharts in Qt 5 and in Qt's own namespace in Qt 6.
// Written as QtCharts::QChart, or after `using namespace QtCharts;`, a name means the same class in
// both: in Qt 6 the namespace holds using-declarations of the classes this program uses.
#pragma once

#include <QtCharts/QChartGlobal>

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
QT_BEGIN_NAMESPACE
class QAbstractAxis;
class QAbstractSeries;
class QChart;
class QChartView;
class QLegend;
class QLineSeries;
class QScatterSeries;
class QValueAxis;
class QXYSeries;
QT_END_NAMESPACE

namespace QtCharts {
using QT_PREPEND_NAMESPACE(QAbstractAxis);
using QT_PREPEND_NAMESPACE(QAbstractSeries);
using QT_PREPEND_NAMESPACE(QChart);
using QT_PREPEND_NAMESPACE(QChartView);
using QT_PREPEND_NAMESPACE(QLegend);
using QT_PREPEND_NAMESPACE(QLineSeries);
using QT_PREPEND_NAMESPACE(QScatterSeries);
using QT_PREPEND_NAMESPACE(QValueAxis);
using QT_PREPEND_NAMESPACE(QXYSeries);
} // namespace QtCharts

#define QT_CHARTS_BEGIN_NAMESPACE QT_BEGIN_NAMESPACE
#define QT_CHARTS_END_NAMESPACE QT_END_NAMESPACE
#endif

#include <QtCharts/QXYSeries>

// A series' points as one vector: pointsVector() in Qt 5 (points() copies into a QList there),
// points() in Qt 6, where QList is the vector.
inline QVector<QPointF> pointsOf(const QtCharts::QXYSeries *series)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return series->points();
#else
    return series->pointsVector();
#endif
}
