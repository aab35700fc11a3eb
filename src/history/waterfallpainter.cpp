// SPDX-License-Identifier: MIT
#include "waterfallpainter.h"

#include "colourmap.h"
#include "waterfall.h"

#include <QFontMetrics>
#include <QPainter>

#include <cmath>

namespace {

constexpr int kTick = 4;
constexpr int kBarWidth = 14;
// The FFT chart's six ticks on its -35 to 60 dB axis.
constexpr float kDbTicks[] = {-35, -16, 3, 22, 41, 60};

QString number(double value)
{
    return QString::number(std::abs(value) < 1e-9 ? 0.0 : value, 'g', 6);
}

} // namespace

WaterfallLayout WaterfallLayout::within(const QRect &area, const QFontMetrics &metrics)
{
    const int line = metrics.height();
    const int left = metrics.horizontalAdvance(QStringLiteral("-00000.0")) + kTick + line + 6;
    const int right
        = 10 + kBarWidth + kTick + metrics.horizontalAdvance(QStringLiteral("-35")) + line + 8;
    const int topMargin = line / 2 + 2;
    const int bottom = 2 * line + kTick + 6;
    WaterfallLayout layout;
    layout.plot = area.adjusted(left, topMargin, -right, -bottom);
    if (layout.plot.width() < 1 || layout.plot.height() < 1)
        layout.plot = QRect(area.topLeft(), QSize(1, 1));
    layout.colourBar
        = QRect(layout.plot.right() + 11, layout.plot.top(), kBarWidth, layout.plot.height());
    return layout;
}

std::vector<double> niceTicks(double from, double to, int maxTicks)
{
    std::vector<double> ticks;
    if (!(to > from) || maxTicks < 2)
        return ticks;
    const double rough = (to - from) / (maxTicks - 1);
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double step = power;
    for (double factor : {1.0, 2.0, 5.0, 10.0}) {
        step = factor * power;
        if (step >= rough)
            break;
    }
    for (double tick = std::ceil(from / step) * step; tick <= to + step * 1e-9; tick += step)
        ticks.push_back(tick);
    return ticks;
}

QString modeBlockLabel(int modes, int width)
{
    QString name;
    if (modes == (HistorySlot::Cw | HistorySlot::Fmcw))
        name = QStringLiteral("CW + FMCW");
    else
        name = modes & HistorySlot::Fmcw ? QStringLiteral("FMCW") : QStringLiteral("CW");
    return QStringLiteral("%1, bins 0-%2").arg(name).arg(width);
}

void paintWaterfall(QPainter &painter, const WaterfallLayout &layout, const Waterfall &waterfall,
    const QString &timeTitle, const WaterfallAxis &xAxis)
{
    painter.drawImage(layout.plot.topLeft(), waterfall.image());
    paintWaterfallDecorations(painter, layout, waterfall, timeTitle, xAxis);
}

void paintWaterfallDecorations(QPainter &painter, const WaterfallLayout &layout,
    const Waterfall &waterfall, const QString &timeTitle, const WaterfallAxis &xAxis)
{
    const QRect plot = layout.plot;
    const QFontMetrics metrics = painter.fontMetrics();
    const int line = metrics.height();
    painter.save();
    painter.setPen(Qt::black);

    // Mode blocks: a line where one starts, its label in its top left corner where it fits.
    const std::vector<ModeBlock> blocks = waterfall.modeBlocks();
    for (size_t k = 0; k < blocks.size(); ++k) {
        const ModeBlock &block = blocks[k];
        const int y = plot.top() + block.top;
        if (k > 0 || block.top > 0) {
            painter.setPen(QPen(Qt::white, 1));
            painter.drawLine(plot.left(), y, plot.right(), y);
        }
        if (block.bottom - block.top + 1 >= line + 2) {
            QString text = modeBlockLabel(block.modes, block.width);
            if (xAxis.isSet())
                text = text.section(',', 0, 0); // the mode alone: its bins are not the axis

            const QRect box(plot.left() + 3, y + 2, metrics.horizontalAdvance(text) + 6, line);
            painter.fillRect(box, QColor(0, 0, 0, 150));
            painter.setPen(Qt::white);
            painter.drawText(box, Qt::AlignCenter, text);
        }
    }
    painter.setPen(Qt::black);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(plot.adjusted(-1, -1, 0, 0));

    // Time axis: newest at the top.
    const double top = waterfall.topSeconds();
    const double bottom = waterfall.bottomSeconds();
    const int maxTimeTicks = std::max(2, plot.height() / (2 * line));
    for (double tick : niceTicks(bottom, top, maxTimeTicks)) {
        if (tick < 0)
            continue; // no frame is older than 0 s: a young history shows no negative times
        const int y = plot.top() + int(std::lround((top - tick) / (top - bottom) * plot.height()));
        painter.drawLine(plot.left() - kTick - 1, y, plot.left() - 1, y);
        const QRect box(0, y - line / 2, plot.left() - kTick - 3, line);
        painter.drawText(box, Qt::AlignRight | Qt::AlignVCenter, number(tick));
    }
    painter.save();
    painter.translate(line / 2 + 1, plot.center().y());
    painter.rotate(-90);
    painter.drawText(
        QRect(-plot.height() / 2, -line / 2, plot.height(), line), Qt::AlignCenter, timeTitle);
    painter.restore();

    // Bin axis: the FFT chart's x, or the physical axis it was given.
    const double xFrom = xAxis.isSet() ? xAxis.from : 0.0;
    const double xTo = xAxis.isSet() ? xAxis.to : waterfall.xMax();
    const int maxBinTicks
        = std::max(2, plot.width() / metrics.horizontalAdvance(xAxis.isSet() ? QStringLiteral("-0000") : QStringLiteral("0000")));
    for (double tick : niceTicks(std::min(xFrom, xTo), std::max(xFrom, xTo), std::min(maxBinTicks, 17))) {
        const int x = plot.left() + int(std::lround((tick - xFrom) * plot.width() / (xTo - xFrom)));
        painter.drawLine(x, plot.bottom() + 1, x, plot.bottom() + kTick);
        painter.drawText(QRect(x - 30, plot.bottom() + kTick + 2, 60, line),
            Qt::AlignHCenter | Qt::AlignTop, number(tick));
    }
    painter.drawText(QRect(plot.left(), plot.bottom() + kTick + 2 + line, plot.width(), line),
        Qt::AlignHCenter | Qt::AlignTop,
        xAxis.isSet() ? xAxis.title : QStringLiteral("bin (the FFT chart's x)"));

    // Colour bar on the fixed scale, 60 dB at the top.
    const QRect bar = layout.colourBar;
    const auto &colours = ColourMap::viridis();
    for (int y = 0; y < bar.height(); ++y) {
        const float db = DbScale::kMaxDb
            - (DbScale::kMaxDb - DbScale::kMinDb) * y / std::max(1, bar.height() - 1);
        painter.setPen(QColor::fromRgb(colours[size_t(ColourMap::levelForDb(db))]));
        painter.drawLine(bar.left(), bar.top() + y, bar.right(), bar.top() + y);
    }
    painter.setPen(Qt::black);
    painter.drawRect(bar.adjusted(-1, -1, 0, 0));
    for (float db : kDbTicks) {
        const int y = bar.top()
            + int(std::lround(
                (DbScale::kMaxDb - db) / (DbScale::kMaxDb - DbScale::kMinDb) * (bar.height() - 1)));
        painter.drawLine(bar.right() + 1, y, bar.right() + kTick, y);
        painter.drawText(QRect(bar.right() + kTick + 2, y - line / 2, 40, line),
            Qt::AlignLeft | Qt::AlignVCenter, number(db));
    }
    painter.save();
    const int titleX
        = bar.right() + kTick + 4 + metrics.horizontalAdvance(QStringLiteral("-35")) + line / 2 + 2;
    painter.translate(titleX, bar.center().y());
    painter.rotate(-90);
    painter.drawText(QRect(-bar.height() / 2, -line / 2, bar.height(), line), Qt::AlignCenter,
        QStringLiteral("dB"));
    painter.restore();
    painter.restore();
}
