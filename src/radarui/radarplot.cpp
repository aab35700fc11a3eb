// SPDX-License-Identifier: MIT
#include "radarplot.h"

#include "radarreadout.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

const QColor RadarPlot::kMarkerColour(255, 0, 255);
const QColor RadarPlot::kTrackColour(30, 140, 60);

namespace {

const QColor kSpectrumColour(20, 90, 200);
const QColor kThresholdColour(220, 60, 30);
constexpr int kMargin = 8;
constexpr int kAxisLeft = 48; // room for the dB and track labels
constexpr int kAxisBelow = 40; // tick labels and the axis title
constexpr double kLongestBridgeSeconds = 0.5; // a trail is not drawn across a longer silence
constexpr double kReadoutScale = 1.5; // the readout's font against the window's

// A round step for about `count` ticks over `span`.
double niceStep(double span, int count)
{
    if (!(span > 0.0))
        return 1.0;
    const double raw = span / std::max(count, 1);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0, 10.0})
        if (raw <= factor * power)
            return factor * power;
    return 10.0 * power;
}

QString axisTitle(const RadarSpectrum &spectrum)
{
    switch (spectrum.axis) {
    case RadarSpectrum::Axis::Speed:
        return QStringLiteral("speed (m/s): approaching < 0 < receding");
    case RadarSpectrum::Axis::Range:
        return QStringLiteral("range (m)");
    default:
        return QStringLiteral("board bins (the profile has no sweep)");
    }
}

QString unitOf(const RadarSpectrum &spectrum)
{
    return spectrum.axis == RadarSpectrum::Axis::Speed ? QStringLiteral("m/s")
        : spectrum.axis == RadarSpectrum::Axis::Range  ? QStringLiteral("m")
                                                       : QStringLiteral("bins");
}

double targetValue(const RadarTarget &target, const RadarSpectrum &spectrum)
{
    if (spectrum.axis == RadarSpectrum::Axis::Speed)
        return target.speedMps;
    if (spectrum.axis == RadarSpectrum::Axis::Range)
        return target.rangeM;
    return target.bins;
}

void drawTicks(QPainter &painter, const QRect &area, double low, double high, bool vertical,
    int leastTicks = 2)
{
    const double step
        = niceStep(high - low, vertical ? std::max(leastTicks, area.height() / 28) : 8);
    const QFontMetrics metrics = painter.fontMetrics();
    for (double value = std::ceil(low / step) * step; value <= high + step * 1e-6; value += step) {
        const QString text = QString::number(std::abs(value) < step * 1e-6 ? 0.0 : value);
        if (vertical) {
            const int y
                = area.bottom() - int(std::lround((value - low) / (high - low) * area.height()));
            painter.setPen(QColor(225, 225, 225));
            painter.drawLine(area.left(), y, area.right(), y);
            painter.setPen(Qt::black);
            painter.drawText(QRect(area.left() - kAxisLeft, y - 8, kAxisLeft - 4, 16),
                Qt::AlignRight | Qt::AlignVCenter, text);
        } else {
            const int x
                = area.left() + int(std::lround((value - low) / (high - low) * area.width()));
            painter.setPen(QColor(225, 225, 225));
            painter.drawLine(x, area.top(), x, area.bottom());
            painter.setPen(Qt::black);
            painter.drawText(QRect(x - 40, area.bottom() + 1, 80, metrics.height()),
                Qt::AlignHCenter | Qt::AlignTop, text);
        }
    }
}

} // namespace

RadarPlot::RadarPlot(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("radarPlot"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(360, 300);
}

void RadarPlot::setMessage(const QString &text)
{
    if (text == message)
        return;
    message = text;
    update();
}

void RadarPlot::clearPanes()
{
    for (int mode = 0; mode < 2; ++mode) {
        panes[mode] = Pane();
        readouts[mode].clear();
        scaleKnown[mode] = false;
    }
    update();
}

std::vector<int> RadarPlot::shownModes() const
{
    std::vector<int> modes;
    for (int mode = 0; mode < 2; ++mode)
        if (panes[mode].seen && !panes[mode].analysis.spectrum.db.empty())
            modes.push_back(mode);
    return modes;
}

RadarPlot::PaneLayout RadarPlot::layoutFor(int mode) const
{
    const std::vector<int> modes = shownModes();
    const auto found = std::find(modes.begin(), modes.end(), mode);
    if (found == modes.end())
        return {};
    const int count = int(modes.size());
    const int index = int(found - modes.begin());
    const int height = this->height() / count;
    const QRect whole(0, index * height, width(), height);
    QFont large = font();
    large.setPointSizeF(large.pointSizeF() * kReadoutScale);
    large.setBold(true);
    const int lineHeight = QFontMetrics(large).height();
    PaneLayout layout;
    layout.readout = QRect(whole.left() + kMargin, whole.top() + kMargin,
        whole.width() - 2 * kMargin, 3 * lineHeight + 4);
    const int rest = whole.bottom() - layout.readout.bottom() - kMargin;
    const int historyHeight = std::max(kMinTrackHeight, (rest - 2 * kAxisBelow) * 2 / 5);
    const int left = whole.left() + kAxisLeft + kMargin;
    const int right = whole.right() - kMargin - 4;
    layout.spectrum = QRect(QPoint(left, layout.readout.bottom() + kMargin + 4),
        QPoint(right, whole.bottom() - kMargin - historyHeight - 2 * kAxisBelow));
    layout.history = QRect(QPoint(left, layout.spectrum.bottom() + kAxisBelow + kMargin + 8),
        QPoint(right, whole.bottom() - kAxisBelow - 2));
    const int numbers
        = layout.readout.left() + QFontMetrics(large).horizontalAdvance(QStringLiteral("FMCW  "));
    layout.lines = QRect(QPoint(numbers, layout.readout.top()), layout.readout.bottomRight());
    layout.tag = QRect(QPoint(layout.readout.left(), layout.readout.top() + lineHeight),
        QPoint(numbers - 4, layout.readout.bottom()));
    return layout;
}

QRect RadarPlot::spectrumRect(int mode) const
{
    return layoutFor(mode).spectrum;
}

QRect RadarPlot::historyRect(int mode) const
{
    return layoutFor(mode).history;
}

double RadarPlot::axisLow(int mode) const
{
    return pane(mode).analysis.spectrum.start;
}

double RadarPlot::axisHigh(int mode) const
{
    const RadarSpectrum &spectrum = pane(mode).analysis.spectrum;
    return spectrum.at(std::max<double>(double(spectrum.db.size()) - 1.0, 1.0));
}

RadarPlot::Scale RadarPlot::scaleFor(int mode) const
{
    const RadarSpectrum &spectrum = panes[mode].analysis.spectrum;
    Scale scale;
    scale.low = spectrum.start;
    scale.high = spectrum.at(std::max<double>(double(spectrum.db.size()) - 1.0, 1.0));
    float top = -1e9f;
    for (float value : spectrum.db)
        top = std::max(top, value);
    // The floor follows the noise (its median), so that the null the mean leaves at zero speed
    // does not squash the picture. Both ends move in steps of 10 dB: the axes are redrawn rarely.
    std::vector<float> &sorted = scratch;
    sorted.assign(spectrum.db.begin(), spectrum.db.end());
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    scale.dbLow = std::floor((sorted[sorted.size() / 2] - 20.0) / 10.0) * 10.0;
    scale.dbHigh = std::max(std::ceil((top + 5.0) / 10.0) * 10.0, scale.dbLow + 20.0);
    return scale;
}

void RadarPlot::settleScale(int mode)
{
    const Scale wanted = scaleFor(mode);
    Scale &scale = scales[mode];
    if (!scaleKnown[mode] || wanted.low != scale.low || wanted.high != scale.high) {
        scale = wanted;
        scaleKnown[mode] = true;
        return;
    }
    // A peak above the top moves it at once; the axes follow a falling top or a noise floor that
    // moved only when it moved far, so that they are not drawn again for every frame.
    if (wanted.dbHigh > scale.dbHigh || wanted.dbHigh <= scale.dbHigh - 20.0)
        scale.dbHigh = wanted.dbHigh;
    if (std::abs(wanted.dbLow - scale.dbLow) >= 20.0)
        scale.dbLow = wanted.dbLow;
    if (scale.dbHigh < scale.dbLow + 20.0)
        scale = wanted;
}

RadarPlot::BackdropKey RadarPlot::backdropKeyFor(const std::vector<int> &modes)
{
    BackdropKey key;
    key.size = size();
    for (int mode : modes) {
        if (!scaleKnown[mode])
            settleScale(mode);
        key.modes |= 1 << mode;
        key.scales[mode] = scales[mode];
        key.axes[mode] = panes[mode].analysis.spectrum.axis;
    }
    return key;
}

bool RadarPlot::settleReadout(int mode)
{
    std::vector<ReadoutLine> lines;
    const std::vector<RadarTarget> &targets = panes[mode].analysis.targets;
    const QString note = readoutNote(panes[mode].analysis);
    const QString tied = mode == 0 ? tiedLine() : QString();
    if (!tied.isEmpty())
        lines.push_back({tied, QString()});
    if (targets.empty() && note.isEmpty())
        lines.push_back({QStringLiteral("no target"), QString()});
    for (const RadarTarget &target : targets)
        lines.push_back({targetPosition(target),
            QStringLiteral("%1 dB, SNR %2 dB")
                .arg(target.levelDb, 0, 'f', 1)
                .arg(target.snrDb, 0, 'f', 1)});
    if (!note.isEmpty())
        lines.push_back({note, QString()});
    if (lines == readouts[mode])
        return false;
    readouts[mode] = std::move(lines);
    return true;
}

void RadarPlot::refresh(int changedModes)
{
    for (int mode = 0; mode < 2; ++mode) {
        if (!(changedModes & (1 << mode)) || panes[mode].analysis.spectrum.db.empty())
            continue;
        settleScale(mode);
    }
    bool readoutChanged[2] = {false, false};
    for (int mode = 0; mode < 2; ++mode)
        if (changedModes & (1 << mode))
            readoutChanged[mode] = settleReadout(mode);
    const std::vector<int> modes = shownModes();
    if (modes.empty() || !message.isEmpty() || !(backdropKeyFor(modes) == backdropKey)) {
        update();
        return;
    }
    // Only what the frames draw: the axes stay as they are, and so do numbers that did not change.
    QRegion changed;
    for (int mode : modes) {
        if (!(changedModes & (1 << mode)))
            continue;
        const PaneLayout layout = layoutFor(mode);
        if (readoutChanged[mode])
            changed += layout.lines;
        changed += layout.tag;
        changed += layout.spectrum.adjusted(-1, -16, 1, 1); // markers stand above the peak
        changed += layout.history.adjusted(-1, -1, 1, 1);
    }
    if (!changed.isEmpty())
        update(changed);
}

void RadarPlot::refreshTracks()
{
    QRegion changed;
    for (int mode : shownModes())
        changed += layoutFor(mode).history.adjusted(-1, -1, 1, 1);
    if (!changed.isEmpty())
        update(changed);
}

void RadarPlot::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    const std::vector<int> modes = shownModes();
    if (modes.empty() || !message.isEmpty()) {
        painter.fillRect(rect(), Qt::white);
        painter.setPen(Qt::darkGray);
        painter.drawText(rect().adjusted(20, 20, -20, -20), Qt::AlignCenter | Qt::TextWordWrap,
            message.isEmpty() ? QStringLiteral("waiting for frames") : message);
        return;
    }
    // The axes, grids and titles change only with the size, the panes and the scales: drawn
    // once into a picture of their own, the frames draw only their lines and numbers.
    const BackdropKey key = backdropKeyFor(modes);
    if (!(key == backdropKey) || backdrop.isNull()) {
        backdropKey = key;
        const qreal ratio = devicePixelRatioF();
        backdrop = QPixmap(size() * ratio);
        backdrop.setDevicePixelRatio(ratio);
        backdrop.fill(Qt::white);
        QPainter axes(&backdrop);
        axes.setFont(font());
        for (int mode : modes)
            paintAxes(axes, mode, layoutFor(mode), scales[mode]);
    }
    painter.drawPixmap(0, 0, backdrop);
    for (int mode : modes)
        paintPane(painter, mode, layoutFor(mode), scales[mode], event->region());
}

void RadarPlot::paintAxes(
    QPainter &painter, int mode, const PaneLayout &layout, const Scale &scale) const
{
    const RadarSpectrum &spectrum = panes[mode].analysis.spectrum;
    QFont large = font();
    large.setPointSizeF(large.pointSizeF() * kReadoutScale);
    large.setBold(true);
    painter.setFont(large);
    painter.setPen(Qt::black);
    painter.drawText(
        QPoint(layout.readout.left(), layout.readout.top() + QFontMetrics(large).ascent()),
        mode ? QStringLiteral("FMCW") : QStringLiteral("CW"));
    painter.setFont(font());
    const int titleHeight = painter.fontMetrics().height();

    const QRect &area = layout.spectrum;
    drawTicks(painter, area, scale.low, scale.high, false);
    drawTicks(painter, area, scale.dbLow, scale.dbHigh, true);
    painter.setPen(Qt::black);
    painter.drawRect(area);
    painter.drawText(QRect(area.left(), area.bottom() + titleHeight + 1, area.width(), titleHeight),
        Qt::AlignHCenter, axisTitle(spectrum));
    painter.save();
    painter.translate(area.left() - kAxisLeft + 2, area.center().y());
    painter.rotate(-90);
    painter.drawText(QRect(-60, -2, 120, 16), Qt::AlignHCenter, QStringLiteral("dB"));
    painter.restore();

    // The tracks' axis is the spectrum's, so that a target sits at the same height in both.
    const QRect &track = layout.history;
    drawTicks(painter, track, -RadarTracking::kTrailSeconds, 0.0, false);
    drawTicks(painter, track, scale.low, scale.high, true, 4);
    painter.setPen(Qt::black);
    painter.drawRect(track);
    painter.drawText(
        QRect(track.left(), track.bottom() + titleHeight + 1, track.width(), titleHeight),
        Qt::AlignHCenter,
        QStringLiteral("tracks over the last 30 s (%1, s), numbered at their heads")
            .arg(unitOf(spectrum)));
}

void RadarPlot::paintPane(QPainter &painter, int mode, const PaneLayout &layout, const Scale &scale,
    const QRegion &dirty) const
{
    const Pane &shown = panes[mode];
    // What lies outside the region repainted is not drawn at all: text costs even when clipped.
    // Within it, lines clipped to one rectangle are drawn at a third of the cost of lines clipped
    // to the region's several.
    const QRect spectrumArea = layout.spectrum.adjusted(-1, -16, 1, 1); // markers above peaks
    if (dirty.intersects(spectrumArea)) {
        painter.save();
        painter.setClipRect(spectrumArea);
        paintSpectrum(painter, shown, layout.spectrum, scale);
        painter.restore();
    }
    const QRect historyArea = layout.history.adjusted(-1, -1, 1, 1);
    if (dirty.intersects(historyArea)) {
        painter.save();
        painter.setClipRect(historyArea);
        paintTracks(painter, mode, layout.history, scale);
        painter.restore();
    }
    if (dirty.intersects(layout.tag))
        paintTag(painter, mode, layout.tag);
    if (!dirty.intersects(layout.lines))
        return;
    QFont large = font();
    large.setPointSizeF(large.pointSizeF() * kReadoutScale);
    large.setBold(true);
    const QFontMetrics largeMetrics(large);
    // A readout that no frame backs any more is greyed: it says what was, not what is.
    painter.setPen(stale.isEmpty() ? QColor(Qt::black) : QColor(150, 150, 150));
    const int numbers = layout.lines.left();
    int baseline = layout.readout.top() + largeMetrics.ascent();
    for (const ReadoutLine &line : readouts[mode]) {
        painter.setFont(large);
        painter.drawText(QPoint(numbers, baseline), line.position);
        if (!line.levels.isEmpty()) {
            painter.setFont(font());
            painter.drawText(
                QPoint(numbers + largeMetrics.horizontalAdvance(line.position) + 12, baseline),
                line.levels);
        }
        baseline += largeMetrics.height();
    }
    painter.setFont(font());
}

void RadarPlot::paintTag(QPainter &painter, int mode, const QRect &area) const
{
    painter.fillRect(area, Qt::white);
    const Pane &shown = panes[mode];
    QStringList lines;
    if (shown.frame >= 0)
        lines << QStringLiteral("frame %1").arg(shown.frame)
              << QStringLiteral("%1 s").arg(shown.seconds, 0, 'f', 3);
    if (!stale.isEmpty())
        lines << QStringLiteral("(%1)").arg(stale);
    painter.setFont(font());
    painter.setPen(stale.isEmpty() ? QColor(90, 90, 90) : QColor(180, 0, 0));
    painter.drawText(area, Qt::AlignLeft | Qt::AlignTop, lines.join('\n'));
}

void RadarPlot::paintSpectrum(
    QPainter &painter, const Pane &shown, const QRect &area, const Scale &scale) const
{
    const RadarSpectrum &spectrum = shown.analysis.spectrum;
    const int cells = int(spectrum.db.size());
    auto xOf = [&](double value) {
        return area.left() + (value - scale.low) / (scale.high - scale.low) * area.width();
    };
    auto yOf = [&](double db) {
        return area.bottom()
            - (std::clamp(db, scale.dbLow, scale.dbHigh) - scale.dbLow)
            / (scale.dbHigh - scale.dbLow) * area.height();
    };
    // Plain lines: smoothing them would cost more than the rest of a frame's picture.
    QPolygonF &line = polyline;
    line.clear();
    for (int k = 0; k < cells; ++k)
        line << QPointF(xOf(spectrum.at(k)), yOf(spectrum.db[size_t(k)]));
    painter.setPen(QPen(kSpectrumColour, 1));
    painter.drawPolyline(line);
    line.clear();
    painter.setPen(QPen(kThresholdColour, 1));
    for (int k = 0; k <= int(shown.thresholdDb.size()) && k <= cells; ++k) {
        const float value
            = k < int(shown.thresholdDb.size()) ? shown.thresholdDb[size_t(k)] : qQNaN();
        if (std::isnan(value) || k == cells) {
            painter.drawPolyline(line);
            line.clear();
            continue;
        }
        line << QPointF(xOf(spectrum.at(k)), yOf(value));
    }

    // A marker: a line of its own colour down from the peak, a triangle over it and the label.
    for (const RadarTarget &target : shown.analysis.targets) {
        const double value = targetValue(target, spectrum);
        if (std::isnan(value))
            continue;
        const int x = int(std::lround(xOf(value)));
        const int y = int(std::lround(yOf(target.levelDb)));
        painter.setPen(kMarkerColour);
        painter.drawLine(x, y, x, area.bottom() - 1);
        painter.setBrush(kMarkerColour);
        painter.drawPolygon(
            QPolygon({QPoint(x - 5, y - 12), QPoint(x + 5, y - 12), QPoint(x, y - 3)}));
        painter.setBrush(Qt::NoBrush);
        painter.setPen(Qt::black);
        const QString label = QStringLiteral("%1: %2 %3")
                                  .arg(target.rank)
                                  .arg(value, 0, 'f', 2)
                                  .arg(unitOf(spectrum));
        const int width = painter.fontMetrics().horizontalAdvance(label);
        const int left = x + 8 + width < area.right() ? x + 8 : x - 8 - width;
        painter.drawText(QPoint(left, std::max(y - 4, area.top() + 12)), label);
    }
}

std::vector<RadarPlot::TrackMark> RadarPlot::trackMarks(int mode) const
{
    std::vector<TrackMark> marks;
    const QRect area = layoutFor(mode).history;
    if (area.isEmpty())
        return marks;
    const Scale &scale = scales[mode];
    for (const TrackState &state : tracks.tracks[mode & 1]) {
        const double value = mode ? state.rangeM : state.speedMps;
        const double back = tracks.newestSeconds - state.lastHitSeconds;
        if (!std::isfinite(value) || back > RadarTracking::kTrailSeconds)
            continue;
        TrackMark mark;
        mark.id = state.id;
        mark.confirmed = state.confirmed;
        mark.value = value;
        mark.at = QPointF(area.right() - back / RadarTracking::kTrailSeconds * area.width(),
            area.bottom()
                - (std::clamp(value, scale.low, scale.high) - scale.low) / (scale.high - scale.low)
                    * area.height());
        marks.push_back(mark);
    }
    return marks;
}

void RadarPlot::setStale(const QString &why)
{
    if (why == stale)
        return;
    stale = why;
    update();
}

QString RadarPlot::tiedLine() const
{
    // The strongest confirmed CW track that an FMCW one is tied to: one object, both numbers.
    const TrackState *best = nullptr;
    for (const TrackState &state : tracks.tracks[0])
        if (state.confirmed && state.tiedTo != 0 && std::isfinite(state.rangeM)
            && (!best || state.levelDb > best->levelDb))
            best = &state;
    if (!best)
        return QString();
    // Short enough for the readout's large type beside the other targets' lines.
    RadarTarget object;
    object.speedMps = best->speedMps;
    return QStringLiteral("track %1: %2 m, %3 m/s %4")
        .arg(best->id)
        .arg(best->rangeM, 0, 'f', 2)
        .arg(std::abs(best->speedMps), 0, 'f', 2)
        .arg(QLatin1String(object.direction()));
}

void RadarPlot::paintTracks(
    QPainter &painter, int mode, const QRect &area, const Scale &scale) const
{
    auto yOf = [&](double value) {
        return area.bottom()
            - (std::clamp(value, scale.low, scale.high) - scale.low) / (scale.high - scale.low)
            * area.height();
    };
    auto xOf = [&](double seconds) {
        return area.right()
            - (tracks.newestSeconds - seconds) / RadarTracking::kTrailSeconds * area.width();
    };
    // Two pixels wide: two thin lines a pixel apart cost a fifth of what one wide line does.
    painter.setPen(QPen(kTrackColour, 1));
    // (Moving the points, not the painter: a painter's transform that changes under a clip costs
    // more than the lines.)
    QPolygonF &shifted = shiftedLine;
    const auto drawLine = [&painter, &shifted](QPolygonF &points) {
        if (points.size() == 1)
            points << points.first() + QPointF(1, 0); // a lone point still shows as a dot
        shifted.resize(points.size());
        for (int k = 0; k < points.size(); ++k) {
            points[k].ry() -= 0.5;
            shifted[k] = points[k] + QPointF(0.0, 1.0);
        }
        painter.drawPolyline(points);
        painter.drawPolyline(shifted);
        points.clear();
    };
    // The trail holds both modes' tracks interleaved in time: a line per track, each drawn where
    // its next point is too far from its last.
    using Open = OpenTrail;
    std::vector<Open> &open = openTrails;
    open.clear();
    for (const RadarTrailPoint &point : tracks.trail) {
        if (point.mode != mode || !std::isfinite(point.value))
            continue;
        auto found = std::find_if(
            open.begin(), open.end(), [&](const Open &trail) { return trail.id == point.track; });
        if (found == open.end()) {
            open.push_back({point.track, point.seconds, QPolygonF()});
            found = open.end() - 1;
        } else if (point.seconds - found->lastSeconds > kLongestBridgeSeconds) {
            drawLine(found->line);
        }
        found->lastSeconds = point.seconds;
        found->line << QPointF(xOf(point.seconds), yOf(point.value));
    }
    const std::vector<TrackMark> marks = trackMarks(mode);
    // A track that has ended keeps its number at its trail's end; a live one has it at its head.
    const auto label = [&](int id, const QPointF &at) {
        const QString number = QString::number(id);
        const int width = painter.fontMetrics().horizontalAdvance(number);
        const double left = at.x() + 6 + width < area.right() ? at.x() + 6 : at.x() - 6 - width;
        painter.drawText(QPointF(left, std::max(at.y() - 4, area.top() + 12.0)), number);
    };
    for (Open &trail : open) {
        if (trail.line.isEmpty())
            continue;
        const QPointF end = trail.line.last();
        drawLine(trail.line);
        const bool live = std::any_of(marks.begin(), marks.end(),
            [&](const TrackMark &mark) { return mark.id == trail.id && mark.confirmed; });
        if (!live) {
            painter.setPen(Qt::darkGray);
            label(trail.id, end);
            painter.setPen(QPen(kTrackColour, 1));
        }
    }
    // Each head with its number; a tentative track is a faint ring, no number yet.
    for (const TrackMark &mark : marks) {
        if (!mark.confirmed) {
            painter.setPen(QColor(170, 210, 180));
            painter.drawEllipse(mark.at, 3.0, 3.0);
            continue;
        }
        painter.setPen(kTrackColour);
        painter.setBrush(kTrackColour);
        painter.drawEllipse(mark.at, 3.0, 3.0);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(Qt::black);
        label(mark.id, mark.at);
    }
}
