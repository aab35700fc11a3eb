// SPDX-License-Identifier: MIT
#include "micromotionpane.h"

#include <QDoubleSpinBox>
#include <QFontMetrics>
#include <QFormLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

const QColor MicroMotionPane::kDisplacementColour(0x1f, 0x77, 0xb4);
const QColor MicroMotionPane::kValueColour(0xd6, 0x27, 0x28);
const QColor MicroMotionPane::kCircleColour(0x2c, 0xa0, 0x2c);

class MicroMotionPane::Canvas : public QWidget {
public:
    explicit Canvas(MicroMotionPane *pane)
        : owner(pane)
    {
        setObjectName(QStringLiteral("microMotionCanvas"));
        setMinimumSize(300, 380);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        owner->paintCanvas(painter);
    }

private:
    MicroMotionPane *owner;
};

MicroMotionPane::MicroMotionPane(QWidget *parent)
    : QWidget(parent)
    , rate(new QLabel)
    , heart(new QLabel)
    , range(new QLabel)
    , rangeBox(new QDoubleSpinBox)
    , drawing(new Canvas(this))
{
    setObjectName(QStringLiteral("microMotionPane"));
    rate->setObjectName(QStringLiteral("vitalsRate"));
    heart->setObjectName(QStringLiteral("vitalsHeart"));
    heart->setWordWrap(true);
    range->setObjectName(QStringLiteral("vitalsRange"));
    rangeBox->setObjectName(QStringLiteral("vitalsRangeSpin"));
    rangeBox->setRange(0.0, 1000.0);
    rangeBox->setDecimals(2);
    rangeBox->setSingleStep(0.1);
    rangeBox->setSuffix(QStringLiteral(" m"));
    rangeBox->setSpecialValueText(QStringLiteral("CW, or the nearest track"));
    rangeBox->setToolTip(QStringLiteral("The FMCW range cell whose phase is read; at 0 the CW "
                                        "frames (the whole return) or, on an FMCW board, the "
                                        "nearest confirmed track"));
    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Range read"), rangeBox);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(rate);
    layout->addWidget(heart);
    layout->addWidget(range);
    layout->addWidget(drawing, 1);
    connect(rangeBox, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
        [this](double metres) { emit rangeChosen(metres > 0.0 ? metres : qQNaN()); });
    setSnapshot(VitalsSnapshot());
}

QString MicroMotionPane::rateText() const
{
    const VitalsReading &reading = shown.reading;
    const QString quality = std::isnan(reading.quality)
        ? QString()
        : QStringLiteral(" (quality %1)").arg(reading.quality, 0, 'f', 2);
    if (!std::isnan(reading.breathsPerMin))
        return QStringLiteral("breathing %1 /min%2")
            .arg(reading.breathsPerMin, 0, 'f', 1)
            .arg(quality);
    if (reading.noEcho)
        return QStringLiteral("breathing: no rate, no echo moves above the noise");
    if (reading.moving)
        return QStringLiteral("breathing: no rate, the person moves");
    if (std::isnan(reading.quality))
        return shown.displacement.empty() ? QStringLiteral("breathing: no estimate yet")
                                          : QStringLiteral("breathing: gathering 15 s");
    return QStringLiteral("breathing: no rate%1").arg(quality);
}

QString MicroMotionPane::heartText() const
{
    if (!shown.heartUnavailable.isEmpty())
        return QStringLiteral("heart: ") + shown.heartUnavailable;
    if (!std::isnan(shown.reading.heartPerMin))
        return QStringLiteral("heart %1 /min (quality %2)")
            .arg(shown.reading.heartPerMin, 0, 'f', 0)
            .arg(shown.reading.heartQuality, 0, 'f', 2);
    return QStringLiteral("heart: no rate");
}

QString MicroMotionPane::rangeText() const
{
    if (shown.mode == 0)
        return QStringLiteral("CW: the whole return");
    if (std::isnan(shown.rangeM))
        return QStringLiteral("FMCW: no range yet (no confirmed track)");
    return QStringLiteral("FMCW: the cell at %1 m").arg(shown.rangeM, 0, 'f', 2);
}

void MicroMotionPane::setSnapshot(const VitalsSnapshot &snapshot)
{
    shown = snapshot;
    rate->setText(rateText());
    heart->setText(heartText());
    range->setText(rangeText());
    drawing->update();
}

namespace {

constexpr int kMargin = 8; // round the canvas
constexpr int kGap = 4; // between a plot and its words

} // namespace

// The displacement's chart spans its mean +- this, at least 2 mm, in whole millimetres.
double MicroMotionPane::displacementReach() const
{
    const std::vector<VitalsPoint> &points = shown.displacement;
    double mean = 0.0, reach = 2.0;
    for (const VitalsPoint &point : points)
        mean += point.displacementMm;
    mean /= std::max<size_t>(points.size(), 1);
    for (const VitalsPoint &point : points)
        reach = std::max(reach, std::abs(point.displacementMm - mean));
    return std::ceil(reach);
}

// The chart's left edge leaves room for its widest label, its top for half a line (the top
// label stands centred on it).
QRect MicroMotionPane::displacementRect() const
{
    const QFontMetrics metrics = drawing->fontMetrics();
    const double reach = displacementReach();
    const int labelWidth = std::max(metrics.horizontalAdvance(QStringLiteral("+%1 mm").arg(reach)),
        metrics.horizontalAdvance(QStringLiteral("-%1 mm").arg(reach)));
    const int left = kMargin + labelWidth + kGap;
    const int top = kMargin + metrics.height() / 2;
    const int width = std::max(drawing->width() - left - kMargin, 40);
    const int height = std::max((drawing->height() - top) * 2 / 5, 40);
    return QRect(left, top, width, height);
}

// Under the chart its caption (below the bottom label's lower half), then the square, then the
// circle's two lines.
QRect MicroMotionPane::iqRect() const
{
    const QRect above = displacementRect();
    const int line = drawing->fontMetrics().height();
    const int top = above.bottom() + line / 2 + kGap + line + kMargin;
    const int below = kGap + 2 * line + kMargin;
    const int side
        = std::max(std::min(drawing->width() - 2 * kMargin, drawing->height() - top - below), 20);
    return QRect((drawing->width() - side) / 2, top, side, side);
}

QString MicroMotionPane::iqCaption(int line) const
{
    const VitalsCircle &circle = shown.circle;
    if (line == 0) {
        if (!circle.valid)
            return shown.values.empty() ? QStringLiteral("I/Q: no values yet")
                                        : QStringLiteral("I/Q: no circle yet");
        return QStringLiteral("centre %1, %2  radius %3")
            .arg(circle.centre.real(), 0, 'f', 0)
            .arg(circle.centre.imag(), 0, 'f', 0)
            .arg(circle.radius, 0, 'f', 1);
    }
    if (circle.values == 0)
        return QString();
    const QString noise = QStringLiteral("noise %1").arg(circle.noise, 0, 'f', 1);
    return circle.valid
        ? QStringLiteral("residual %1  %2").arg(circle.residual, 0, 'f', 1).arg(noise)
        : noise;
}

std::vector<MicroMotionPane::Label> MicroMotionPane::labels() const
{
    const QFontMetrics metrics = drawing->fontMetrics();
    const int line = metrics.height();
    const QRect plot = displacementRect();
    const QRect square = iqRect();
    const double reach = displacementReach();
    std::vector<Label> placed;
    const auto place = [&](const QRect &rect, const QString &text, int flags) {
        const QString shown = metrics.horizontalAdvance(text) > rect.width()
            ? metrics.elidedText(text, Qt::ElideRight, rect.width())
            : text;
        placed.push_back({rect, shown, flags});
    };
    const int labelWidth = plot.left() - kGap - kMargin;
    const int across = drawing->width() - 2 * kMargin;
    place(QRect(kMargin, plot.top() - line / 2, labelWidth, line),
        QStringLiteral("+%1 mm").arg(reach), Qt::AlignRight | Qt::AlignVCenter);
    place(QRect(kMargin, plot.bottom() - line / 2, labelWidth, line),
        QStringLiteral("-%1 mm").arg(reach), Qt::AlignRight | Qt::AlignVCenter);
    place(QRect(kMargin, plot.bottom() + line / 2 + kGap, across, line),
        QStringLiteral("displacement, last 30 s (positive away)"), Qt::AlignCenter);
    for (int k = 0; k < 2; ++k)
        place(QRect(kMargin, square.bottom() + kGap + k * line, across, line), iqCaption(k),
            Qt::AlignCenter);
    return placed;
}

// The circle fills two thirds of the square, so that the values off it stay in sight; without a
// circle the values' own spread decides the scale.
QPointF MicroMotionPane::iqPoint(std::complex<double> value) const
{
    const QRect square = iqRect();
    std::complex<double> centre = shown.circle.centre;
    double radius = shown.circle.radius;
    if (!shown.circle.valid && !shown.values.empty()) {
        std::complex<double> sum;
        for (const std::complex<float> &v : shown.values)
            sum += std::complex<double>(v);
        centre = sum / double(shown.values.size());
        radius = 0.0;
        for (const std::complex<float> &v : shown.values)
            radius = std::max(radius, std::abs(std::complex<double>(v) - centre));
    }
    const double scale = square.width() / 3.0 / std::max(radius, 1e-6);
    const QPointF middle = QRectF(square).center();
    return {middle.x() + (value.real() - centre.real()) * scale,
        middle.y() - (value.imag() - centre.imag()) * scale};
}

void MicroMotionPane::paintCanvas(QPainter &painter) const
{
    painter.fillRect(drawing->rect(), palette().base());
    painter.setRenderHint(QPainter::Antialiasing, false);
    const QRect plot = displacementRect();
    painter.setPen(palette().text().color());
    painter.drawRect(plot);

    // The displacement of the last 30 s, about its mean.
    const std::vector<VitalsPoint> &points = shown.displacement;
    const double reach = displacementReach();
    double mean = 0.0;
    for (const VitalsPoint &point : points)
        mean += point.displacementMm;
    mean /= std::max<size_t>(points.size(), 1);
    if (!points.empty()) {
        const double newest = points.back().seconds;
        QPainterPath path;
        for (size_t k = 0; k < points.size(); ++k) {
            const double x
                = plot.right() - (newest - points[k].seconds) / kShownSeconds * plot.width();
            const double y = plot.center().y()
                - (points[k].displacementMm - mean) / reach * plot.height() / 2.0;
            if (k == 0)
                path.moveTo(x, y);
            else
                path.lineTo(x, y);
        }
        painter.setPen(QPen(kDisplacementColour, 1.5));
        painter.drawPath(path);
    }

    // The window's I/Q values and the circle fitted to them, within the square: with no echo
    // the values scatter beyond the circle the noise makes.
    const QRect square = iqRect();
    painter.setPen(palette().text().color());
    painter.drawRect(square);
    painter.save();
    painter.setClipRect(square.adjusted(1, 1, -1, -1));
    painter.setPen(kValueColour);
    for (const std::complex<float> &value : shown.values)
        painter.drawEllipse(iqPoint(std::complex<double>(value)), 1.5, 1.5);
    if (shown.circle.valid) {
        const QPointF centre = iqPoint(shown.circle.centre);
        const double radius = square.width() / 3.0;
        painter.setPen(QPen(kCircleColour, 2.0));
        painter.drawEllipse(centre, radius, radius);
        painter.drawLine(centre - QPointF(4, 0), centre + QPointF(4, 0));
        painter.drawLine(centre - QPointF(0, 4), centre + QPointF(0, 4));
    }
    painter.restore();

    painter.setPen(palette().text().color());
    for (const Label &label : labels())
        painter.drawText(label.rect, label.flags, label.text);
}
