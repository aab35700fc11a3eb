// SPDX-License-Identifier: MIT
// The radar view's picture: one pane per modulation seen (speed for CW, range for FMCW), each with
// its readout in large numbers, the spectrum on the physical axis with the CFAR threshold as a
// line and a marker and label on each target, and the strongest target's last 30 s below.
#pragma once

#include "radaranalyzer.h"
#include "radartap.h"

#include <QWidget>

#include <vector>

class RadarPlot : public QWidget {
    Q_OBJECT

public:
    // The markers' colour: nothing else in the picture uses it, so that it can be found again.
    static const QColor kMarkerColour;

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
    std::vector<int> shownModes() const;
    PaneLayout layoutFor(int mode) const;
    void paintPane(QPainter &painter, int mode, const PaneLayout &layout) const;
    void paintSpectrum(QPainter &painter, const Pane &pane, const QRect &area) const;
    void paintHistory(QPainter &painter, const Pane &pane, const QRect &area) const;

    Pane panes[2];
    QString message;
};
