// SPDX-License-Identifier: MIT
#include "plotpicture.h"

#include "waterfall.h"
#include "waterfallpainter.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace {

const QColor kIColour(31, 119, 180);
const QColor kQColour(255, 127, 14);

// A panel with a left value axis and a bottom axis: returns the inner rectangle.
QRect drawPanelAxes(QPainter &painter, const QRect &area, double xFrom, double xTo, double yFrom,
    double yTo, const QString &xTitle, const QString &yTitle, const QRect &alignWith)
{
    const QFontMetrics metrics = painter.fontMetrics();
    const int line = metrics.height();
    const QRect plot(
        alignWith.left(), area.top() + line + 4, alignWith.width(), area.height() - 3 * line - 14);
    painter.setPen(Qt::black);
    painter.drawRect(plot.adjusted(-1, -1, 0, 0));
    for (double tick : niceTicks(yFrom, yTo, std::max(4, plot.height() / (2 * line)))) {
        const int y
            = plot.bottom() - int(std::lround((tick - yFrom) / (yTo - yFrom) * plot.height()));
        painter.drawLine(plot.left() - 5, y, plot.left() - 1, y);
        painter.drawText(QRect(0, y - line / 2, plot.left() - 7, line),
            Qt::AlignRight | Qt::AlignVCenter, QString::number(tick, 'g', 6));
    }
    const int maxXTicks
        = std::max(2, plot.width() / metrics.horizontalAdvance(QStringLiteral("000000")));
    for (double tick : niceTicks(xFrom, xTo, maxXTicks)) {
        const int x = plot.left() + int(std::lround((tick - xFrom) / (xTo - xFrom) * plot.width()));
        painter.drawLine(x, plot.bottom() + 1, x, plot.bottom() + 4);
        painter.drawText(QRect(x - 40, plot.bottom() + 6, 80, line),
            Qt::AlignHCenter | Qt::AlignTop, QString::number(tick, 'g', 6));
    }
    painter.drawText(
        QRect(plot.left(), plot.bottom() + 6 + line, plot.width(), line), Qt::AlignHCenter, xTitle);
    painter.save();
    painter.translate(line / 2 + 1, plot.center().y());
    painter.rotate(-90);
    painter.drawText(
        QRect(-plot.height() / 2, -line / 2, plot.height(), line), Qt::AlignCenter, yTitle);
    painter.restore();
    return plot;
}

void drawLegend(QPainter &painter, const QRect &plot, const QString &first, const QString &second)
{
    const QFontMetrics metrics = painter.fontMetrics();
    int x = plot.right() - metrics.horizontalAdvance(first + second) - 60;
    const int y = plot.top() - metrics.height() / 2 - 4;
    for (const auto &[text, colour] : {std::pair{first, kIColour}, std::pair{second, kQColour}}) {
        painter.fillRect(QRect(x, y - 2, 14, 4), colour);
        painter.setPen(Qt::black);
        painter.drawText(QPoint(x + 18, y + metrics.ascent() / 2 - 1), text);
        x += 18 + metrics.horizontalAdvance(text) + 16;
    }
}

} // namespace

PlotPicture::PlotPicture(int pictureHeight)
    : spectra(std::max(4096, 4 * pictureHeight), 1e-3, SpectrumHistory::Policy::Grow)
{
}

void PlotPicture::setRadar(const RadarProfile &profile, const RadarSettings &settings)
{
    analyzer = std::make_unique<RadarAnalyzer>(profile, settings);
}

void PlotPicture::add(const frame_t &record, double seconds)
{
    if (!analyzer) {
        spectra.add(record, seconds);
        return;
    }
    // The waterfall's x runs over as many columns as its history keeps bins, a multiple of 16 so
    // that its axis ends where the physical one does.
    constexpr int kColumns = HistorySlot::kMaxBins / 16 * 16;
    const int mode = record.modulation ? 1 : 0;
    if (shownMode < 0) {
        shownMode = mode;
        const RadarProfile &profile = analyzer->profile();
        if (mode == 0)
            axis = {-profile.maxSpeed(), profile.maxSpeed(),
                QStringLiteral("speed (m/s), negative approaching")};
        else if (profile.hasSweep())
            axis = {-profile.rangeOffsetM, profile.maxRange(), QStringLiteral("range (m)")};
        else
            axis = {0.0, record.sample_count / 2.0, QStringLiteral("beat (bins; the profile has no sweep)")};
    }
    if (mode != shownMode) {
        ++leftOut;
        return;
    }
    analyzer->analyze(record, analysis);
    row.modulation = record.modulation;
    row.sample_count = record.sample_count;
    row.i_samples = record.i_samples;
    row.q_samples = record.q_samples;
    const RadarSpectrum &spectrum = analysis.spectrum;
    const int cells = int(spectrum.db.size());
    if (cells == 0 || spectrum.step <= 0.0)
        return;
    // Each column shows the highest cell within it, or the nearest where cells are wider.
    row.fft_bins.resize(kColumns);
    const double columnWidth = (axis.to - axis.from) / kColumns;
    auto cellAt = [&](double value) { return (value - spectrum.start) / spectrum.step; };
    for (int column = 0; column < kColumns; ++column) {
        const double left = axis.from + column * columnWidth;
        int first = int(std::ceil(cellAt(left)));
        int end = int(std::ceil(cellAt(left + columnWidth)));
        if (end <= first) {
            first = int(std::lround(cellAt(left + columnWidth / 2)));
            end = first + 1;
        }
        first = std::clamp(first, 0, cells - 1);
        end = std::clamp(end, first + 1, cells);
        float highest = spectrum.db[size_t(first)];
        for (int cell = first + 1; cell < end; ++cell)
            highest = std::max(highest, spectrum.db[size_t(cell)]);
        row.fft_bins[column] = QPointF(column, highest);
    }
    spectra.add(row, seconds);
}

QImage PlotPicture::render(
    QSize size, const QString &title, const std::optional<ChosenFrame> &chosen) const
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    const QFontMetrics metrics = painter.fontMetrics();
    const int line = metrics.height();

    painter.setPen(Qt::black);
    QFont bold = painter.font();
    bold.setBold(true);
    painter.setFont(bold);
    painter.drawText(QRect(8, 4, size.width() - 16, line), Qt::AlignLeft | Qt::AlignVCenter, title);
    painter.setFont(QFont());

    const int panelHeight = std::clamp(size.height() / 5, 7 * line + 20, 14 * line + 40);
    const QRect panelArea(0, line + 8, size.width(), panelHeight);
    const QRect waterfallArea(
        0, panelArea.bottom() + 6, size.width(), size.height() - panelArea.bottom() - 8);
    const WaterfallLayout layout = WaterfallLayout::within(waterfallArea, metrics);

    Waterfall waterfall;
    waterfall.setSize(layout.plot.size());
    const double slot = spectra.slotSeconds();
    const double from = double(spectra.oldestIndex()) * slot;
    const double to = double(spectra.newestIndex() + 1) * slot;
    waterfall.renderRange(spectra, from, to);
    paintWaterfall(painter, layout, waterfall, QStringLiteral("time_s (s)"), axis);

    painter.setRenderHint(QPainter::Antialiasing);
    if (chosen) {
        const int n = int(chosen->i.size());
        const QRect plot = drawPanelAxes(painter, panelArea, 0, std::max(n, 1), 0, 4096,
            QStringLiteral("sample"), QStringLiteral("digits"), layout.plot);
        painter.drawText(QRect(plot.left(), panelArea.top(), plot.width(), line), Qt::AlignLeft,
            QStringLiteral("frame %1 at %2 s, %3, n = %4")
                .arg(chosen->index)
                .arg(chosen->seconds, 0, 'f', 3)
                .arg(chosen->mode ? "FMCW" : "CW")
                .arg(n));
        drawLegend(painter, plot, QStringLiteral("I"), QStringLiteral("Q"));
        for (const auto &[samples, colour] :
            {std::pair{&chosen->i, kIColour}, std::pair{&chosen->q, kQColour}}) {
            QPainterPath path;
            for (int k = 0; k < n; ++k) {
                const QPointF point(plot.left() + (k + 0.5) * plot.width() / n,
                    plot.bottom()
                        - std::clamp((*samples)[size_t(k)] / 4096.0, 0.0, 1.0) * plot.height());
                k == 0 ? path.moveTo(point) : path.lineTo(point);
            }
            painter.strokePath(path, QPen(colour, 1.5));
        }
        // Where the frame lies in the waterfall.
        const int y = layout.plot.top()
            + std::clamp(waterfall.rowOf(chosen->seconds), 0, layout.plot.height() - 1);
        painter.setPen(QPen(Qt::red, 2));
        painter.drawLine(layout.plot.right() + 1, y, layout.plot.right() + 8, y);
        painter.drawLine(layout.plot.left() - 8, y, layout.plot.left() - 1, y);
        return image;
    }

    // Each frame's peak-to-peak, the maximum per pixel column so that a burst shows.
    const QRect probe
        = drawPanelAxes(painter, panelArea, from, to, 0, 1, QString(), QString(), layout.plot);
    const int columns = std::max(1, probe.width());
    std::vector<float> iPeak(size_t(columns), -1.0f), qPeak(size_t(columns), -1.0f);
    float highest = 1.0f;
    for (int64_t index = spectra.oldestIndex(); index <= spectra.newestIndex(); ++index) {
        const HistorySlot *source = spectra.slotAt(index);
        if (!source || source->frames == 0)
            continue;
        const double middle = (double(index) + 0.5) * slot;
        const int c = std::clamp(int((middle - from) / (to - from) * columns), 0, columns - 1);
        iPeak[size_t(c)] = std::max(iPeak[size_t(c)], source->iAmplitude);
        qPeak[size_t(c)] = std::max(qPeak[size_t(c)], source->qAmplitude);
        highest = std::max({highest, source->iAmplitude, source->qAmplitude});
    }
    const double yTop = highest * 1.1;
    painter.fillRect(panelArea, Qt::white);
    const QRect plot = drawPanelAxes(painter, panelArea, from, to, 0, yTop,
        QStringLiteral("time_s (s)"), QStringLiteral("digits"), layout.plot);
    painter.drawText(QRect(plot.left(), panelArea.top(), plot.width(), line), Qt::AlignLeft,
        QStringLiteral("I and Q peak-to-peak per frame"));
    drawLegend(painter, plot, QStringLiteral("I"), QStringLiteral("Q"));
    painter.setClipRect(plot);
    for (const auto &[peaks, colour] : {std::pair{&iPeak, kIColour}, std::pair{&qPeak, kQColour}}) {
        QPainterPath path;
        bool drawing = false;
        for (int c = 0; c < columns; ++c) {
            const float value = (*peaks)[size_t(c)];
            if (value < 0) {
                continue; // no frame in this column: join the neighbours
            }
            const QPointF point(
                plot.left() + c + 0.5, plot.bottom() - value / yTop * plot.height());
            drawing ? path.lineTo(point) : path.moveTo(point);
            drawing = true;
        }
        painter.strokePath(path, QPen(colour, 1.2));
    }
    return image;
}
