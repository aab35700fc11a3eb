// SPDX-License-Identifier: MIT
// The radar view's micro-motion pane: a person at rest as the vitals estimate sees them. The
// displacement of the last 30 s in millimetres, the breathing (and heart) rate with its quality,
// the window's I/Q values with the circle fitted to them (an engineer's first check of the front
// end: an ellipse is an I/Q imbalance, a smear a moving target), and the range read. The range
// box chooses the FMCW cell; 0 reads the CW frames, or the nearest track on an FMCW board.
#pragma once

#include "vitalsestimator.h"

#include <QWidget>

class QDoubleSpinBox;
class QLabel;

class MicroMotionPane : public QWidget {
    Q_OBJECT

public:
    static constexpr double kShownSeconds = 30.0;
    static const QColor kDisplacementColour;
    static const QColor kValueColour;
    static const QColor kCircleColour;

    explicit MicroMotionPane(QWidget *parent = nullptr);

    void setSnapshot(const VitalsSnapshot &snapshot);
    const VitalsSnapshot &snapshot() const { return shown; }
    // The words of the pane: "breathing 15.0 /min (quality 0.93)", "heart 72 /min" or why not,
    // and "CW: the whole return" or "FMCW: the cell at 1.50 m".
    QString rateText() const;
    QString heartText() const;
    QString rangeText() const;
    // Where the two plots lie in the canvas, in its coordinates, and the canvas itself.
    QRect displacementRect() const;
    QRect iqRect() const;
    // The words drawn on the canvas (axis labels, captions) and the rectangles they are drawn
    // in, laid out from the font's measures: each is as wide as its text, cut short with an
    // ellipsis only where the canvas is narrower than it.
    struct Label {
        QRect rect;
        QString text;
        int flags = 0;
    };
    std::vector<Label> labels() const;
    QWidget *canvas() const { return drawing; }
    // The canvas' point for an I/Q value, given the circle in force (its centre in the middle).
    QPointF iqPoint(std::complex<double> value) const;

signals:
    // The range box changed: NaN for CW or the nearest track.
    void rangeChosen(double rangeM);

private:
    class Canvas;
    void paintCanvas(QPainter &painter) const;
    double displacementReach() const; // the chart's half height in mm
    QString iqCaption(int line) const;

    VitalsSnapshot shown;
    QLabel *rate;
    QLabel *heart;
    QLabel *range;
    QDoubleSpinBox *rangeBox;
    QWidget *drawing;
};
