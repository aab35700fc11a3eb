// SPDX-License-Identifier: MIT
// The radar view's picture: one pane per modulation seen (speed for CW, range for FMCW), each with
// its readout in large numbers, the spectrum on the physical axis with the CFAR threshold as a
// line and a marker and label on each target, and the strongest target's last 30 s below.
#pragma once

#include "radaranalyzer.h"
#include "radartap.h"

#include <QPixmap>
#include <QPolygonF>
#include <QWidget>

#include <vector>

class RadarPlot : public QWidget {
    Q_OBJECT

public:
    // The markers' colour: nothing else in the picture uses it, so that it can be found again.
    static const QColor kMarkerColour;
    // The track's colour, also its own.
    static const QColor kTrackColour;

    explicit RadarPlot(QWidget *parent = nullptr);

    struct Pane {
        bool seen = false; // a frame of this modulation arrived since the link opened
        RadarAnalysis analysis;
        std::vector<float> thresholdDb; // per cell of the spectrum, NaN where none
        RadarTrack track;
    };
    Pane &pane(int mode) { return panes[mode & 1]; }
    const Pane &pane(int mode) const { return panes[mode & 1]; }
    // What to say where there is nothing to draw (no profile, no frames); empty when there is.
    void setMessage(const QString &message);
    // Repaints what new frames change (all of it when the axes move).
    void refresh();
    // Forgets both panes (a new link, another profile).
    void clearPanes();

    // Where the spectrum of `mode` is drawn (empty when its pane is not shown), and the axis
    // values at its left and right edges.
    QRect spectrumRect(int mode) const;
    double axisLow(int mode) const;
    double axisHigh(int mode) const;
    QRect historyRect(int mode) const;

    QSize sizeHint() const override { return QSize(720, 560); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    struct PaneLayout {
        QRect readout, spectrum, history;
    };
    // The axes' values: the spectrum's ends, and its dB range.
    struct Scale {
        double low = 0.0, high = 1.0, dbLow = 0.0, dbHigh = 1.0;
    };
    std::vector<int> shownModes() const;
    PaneLayout layoutFor(int mode) const;
    Scale scaleFor(int mode) const;
    QString backdropKeyFor(const std::vector<int> &modes, Scale *scales) const;
    void paintAxes(QPainter &painter, int mode, const PaneLayout &layout, const Scale &scale) const;
    void paintPane(QPainter &painter, int mode, const PaneLayout &layout, const Scale &scale) const;
    void paintSpectrum(
        QPainter &painter, const Pane &pane, const QRect &area, const Scale &scale) const;
    void paintTrack(
        QPainter &painter, const Pane &pane, const QRect &area, const Scale &scale) const;

    Pane panes[2];
    QString message;
    QPixmap backdrop; // the axes, grids and titles
    QString backdropKey; // what they were drawn for
    mutable std::vector<float> scratch;
    mutable QPolygonF polyline;
};
