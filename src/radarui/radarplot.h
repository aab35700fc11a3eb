// SPDX-License-Identifier: MIT
// The radar view's picture: one pane per modulation seen (speed for CW, range for FMCW), each with
// its readout in large numbers, the spectrum on the physical axis with the CFAR threshold as a
// line and a marker and label on each target, and below it the tracks of the last 30 s, each
// with its number at its head.
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
    // The trails' colour, also their own.
    static const QColor kTrackColour;
    // The track plot is never lower than this, so that its axis has room for several ticks.
    static constexpr int kMinTrackHeight = 96;

    explicit RadarPlot(QWidget *parent = nullptr);

    struct Pane {
        bool seen = false; // a frame of this modulation arrived since the link opened
        RadarAnalysis analysis;
        std::vector<float> thresholdDb; // per cell of the spectrum, NaN where none
        int64_t frame = -1; // the analysis' frame, counted from the link's first, and its time
        double seconds = 0.0;
    };
    // A track as the track plot shows it: its number at its head.
    struct TrackMark {
        int id = 0;
        bool confirmed = false; // drawn solid and numbered; tentative ones faint, unnumbered
        double value = 0.0; // m/s (CW), metres or bins (FMCW)
        QPointF at; // the head, in the plot's coordinates
    };
    // Changing a pane: call refresh() with its mode after.
    Pane &pane(int mode) { return panes[mode & 1]; }
    const Pane &pane(int mode) const { return panes[mode & 1]; }
    // What to say where there is nothing to draw (no profile, no frames); empty when there is.
    void setMessage(const QString &message);
    // Repaints what new frames of the modes in `modes` (bit 0 CW, bit 1 FMCW) change: their
    // spectra and tracks, their readouts when the numbers differ, all of it when the axes move.
    void refresh(int modes = 3);
    // Repaints the track plots alone (the tracks changed, the spectra did not).
    void refreshTracks();
    // Forgets both panes (a new link, another profile).
    void clearPanes();
    // The tracks, trails and passes (RadarTap::takeTracking() brings them up to date); call
    // refresh() after.
    RadarTracking &tracking() { return tracks; }
    const RadarTracking &tracking() const { return tracks; }
    // The live tracks of `mode` where the track plot draws them; empty when its pane is not shown.
    std::vector<TrackMark> trackMarks(int mode) const;
    // Greys the readouts and says why beside them ("line lost", "stale, 3 s"); empty: fresh.
    void setStale(const QString &why);
    const QString &staleNote() const { return stale; }
    // The line the readout of CW begins with where a CW track is tied to an FMCW one: the object's
    // speed and range. Empty when none is.
    QString tiedLine() const;

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
        QRect tag; // under the mode's name: the frame, its time, and whether it is stale
        QRect lines; // the readout's numbers
    };
    // The axes' values: the spectrum's ends, and its dB range.
    struct Scale {
        double low = 0.0, high = 1.0, dbLow = 0.0, dbHigh = 1.0;
        bool operator==(const Scale &other) const
        {
            return low == other.low && high == other.high && dbLow == other.dbLow
                && dbHigh == other.dbHigh;
        }
    };
    // What the backdrop was drawn for.
    struct BackdropKey {
        QSize size;
        int modes = 0; // bit per pane shown
        Scale scales[2];
        RadarSpectrum::Axis axes[2] = {RadarSpectrum::Axis::Bins, RadarSpectrum::Axis::Bins};
        bool operator==(const BackdropKey &other) const
        {
            return size == other.size && modes == other.modes && scales[0] == other.scales[0]
                && scales[1] == other.scales[1] && axes[0] == other.axes[0]
                && axes[1] == other.axes[1];
        }
    };
    // A readout line: the position in large numbers, then the level and SNR.
    struct ReadoutLine {
        QString position, levels;
        bool operator==(const ReadoutLine &other) const
        {
            return position == other.position && levels == other.levels;
        }
    };
    std::vector<int> shownModes() const;
    PaneLayout layoutFor(int mode) const;
    Scale scaleFor(int mode) const;
    // Moves the dB range of `mode` only when the spectrum leaves it or falls well below it.
    void settleScale(int mode);
    BackdropKey backdropKeyFor(const std::vector<int> &modes);
    // The readout of `mode` as it is to be drawn; true when it differs from what was drawn.
    bool settleReadout(int mode);
    void paintAxes(QPainter &painter, int mode, const PaneLayout &layout, const Scale &scale) const;
    void paintPane(QPainter &painter, int mode, const PaneLayout &layout, const Scale &scale,
        const QRegion &dirty) const;
    void paintSpectrum(
        QPainter &painter, const Pane &pane, const QRect &area, const Scale &scale) const;
    void paintTracks(QPainter &painter, int mode, const QRect &area, const Scale &scale) const;
    void paintTag(QPainter &painter, int mode, const QRect &area) const;

    Pane panes[2];
    RadarTracking tracks;
    QString stale;
    QString message;
    QPixmap backdrop; // the axes, grids and titles
    BackdropKey backdropKey; // what they were drawn for
    Scale scales[2];
    bool scaleKnown[2] = {false, false};
    std::vector<ReadoutLine> readouts[2];
    mutable std::vector<float> scratch;
    mutable QPolygonF polyline;
    mutable QPolygonF shiftedLine;
    struct OpenTrail {
        int id;
        double lastSeconds;
        QPolygonF line;
    };
    mutable std::vector<OpenTrail> openTrails;
};
