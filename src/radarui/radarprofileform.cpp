// SPDX-License-Identifier: MIT
#include "radarprofileform.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <cmath>

namespace {

QLineEdit *numberField(const char *objectName, const QString &tip)
{
    auto *field = new QLineEdit;
    field->setObjectName(QLatin1String(objectName));
    field->setToolTip(tip);
    return field;
}

QDoubleSpinBox *unitBox(const char *objectName, const QString &tip, const QString &unit,
    int decimals, double largest, bool optional)
{
    auto *box = new QDoubleSpinBox;
    box->setObjectName(QLatin1String(objectName));
    box->setToolTip(tip);
    box->setDecimals(decimals);
    box->setRange(0.0, largest);
    box->setSuffix(QLatin1Char(' ') + unit);
    // Zero is no value: the form leaves the key out, as an empty field did.
    if (optional)
        box->setSpecialValueText(QStringLiteral("none"));
    box->setAccelerated(true);
    return box;
}

QComboBox *signField(const char *objectName, const QString &tip)
{
    auto *field = new QComboBox;
    field->setObjectName(QLatin1String(objectName));
    field->addItems({QStringLiteral("negative"), QStringLiteral("positive")});
    field->setToolTip(tip);
    return field;
}

QString numberText(double value)
{
    return QString::number(value, 'g', 12);
}

} // namespace

RadarProfileForm::RadarProfileForm(QWidget *parent)
    : QWidget(parent)
    , carrier{unitBox("carrierEdit", "carrier_hz: the transmit frequency, the sweep's centre",
                  QStringLiteral("GHz"), 6, 1000.0, false),
          1e9}
    , sampleRate{unitBox("sampleRateEdit", "sample_rate_hz: of I and Q within one frame",
                     QStringLiteral("kHz"), 3, 1e8, false),
          1e3}
    , bandwidth{unitBox("bandwidthEdit", "bandwidth_hz of the FMCW sweep; none: no sweep",
                    QStringLiteral("MHz"), 3, 1e5, true),
          1e6}
    , sweep{unitBox("sweepEdit", "sweep_s: the FMCW sweep's time; none: no sweep",
                QStringLiteral("ms"), 4, 1e4, true),
          1e-3}
    , rangeOffset(numberField("rangeOffsetEdit", "range_offset_m: taken off every range"))
    , approaching(signField("approachingCombo",
          "The sign of the Doppler frequency of I + jQ for an approaching target"))
    , beat(signField("beatCombo", "The side of the spectrum on which FMCW beat tones lie"))
    , iqGain(numberField(
          "iqGainEdit", "iq_gain_db: Q's gain against I's (Calibrate estimates it); empty: none"))
    , iqPhase(numberField("iqPhaseEdit",
          "iq_phase_deg: Q's phase off quadrature (Calibrate estimates it); empty: none"))
    , rangeSpan(new QComboBox)
    , chirp(new QComboBox)
    , problem(new QLabel)
{
    setObjectName(QStringLiteral("radarProfileForm"));
    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Carrier"), carrier.box);
    form->addRow(QStringLiteral("Sample rate"), sampleRate.box);
    form->addRow(QStringLiteral("Bandwidth"), bandwidth.box);
    form->addRow(QStringLiteral("Sweep time"), sweep.box);
    form->addRow(QStringLiteral("Approaching"), approaching);
    form->addRow(QStringLiteral("Beat side"), beat);
    form->addRow(QStringLiteral("Range offset (m)"), rangeOffset);
    rangeSpan->setObjectName(QStringLiteral("rangeSpanCombo"));
    rangeSpan->addItems({QStringLiteral("half"), QStringLiteral("full")});
    rangeSpan->setToolTip(QStringLiteral(
        "range_span: the beat side of the spectrum only, or both sides (up to twice as far)"));
    chirp->setObjectName(QStringLiteral("chirpCombo"));
    // The first entry leaves the key out: the direction then follows from the two signs.
    chirp->addItems({QStringLiteral("default"), QStringLiteral("up"), QStringLiteral("down")});
    chirp->setToolTip(QStringLiteral("chirp: the FMCW sweep's direction; default: as the signs "
                                     "above imply"));
    form->addRow(QStringLiteral("Range span"), rangeSpan);
    form->addRow(QStringLiteral("Sweep"), chirp);
    form->addRow(QStringLiteral("I/Q gain (dB)"), iqGain);
    form->addRow(QStringLiteral("I/Q phase (deg)"), iqPhase);
    problem->setObjectName(QStringLiteral("profileProblem"));
    problem->setWordWrap(true);
    problem->setStyleSheet(QStringLiteral("color: #b00000"));
    problem->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *buttons = new QHBoxLayout;
    auto button = [&](const char *objectName, const QString &text) {
        auto *pushButton = new QPushButton(text);
        pushButton->setObjectName(QLatin1String(objectName));
        buttons->addWidget(pushButton);
        return pushButton;
    };
    connect(button("applyButton", QStringLiteral("Apply")), &QPushButton::clicked, this,
        &RadarProfileForm::applyRequested);
    connect(button("loadButton", QStringLiteral("Load...")), &QPushButton::clicked, this,
        &RadarProfileForm::loadRequested);
    connect(button("saveButton", QStringLiteral("Save...")), &QPushButton::clicked, this,
        &RadarProfileForm::saveRequested);
    QPushButton *calibrate = button("calibrateButton", QStringLiteral("Calibrate"));
    calibrate->setToolTip(QStringLiteral("Estimate the I/Q gain and phase from the last 30 s of "
                                         "frames, with something moving in front of the sensor"));
    connect(calibrate, &QPushButton::clicked, this, &RadarProfileForm::calibrateRequested);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(form);
    layout->addLayout(buttons);
    layout->addWidget(problem);
    for (QLineEdit *field : {rangeOffset, iqGain, iqPhase})
        connect(field, &QLineEdit::returnPressed, this, &RadarProfileForm::applyRequested);
    // Return in a box applies, as in a plain field (the box's own line edit says it).
    for (UnitField *field : {&carrier, &sampleRate, &bandwidth, &sweep})
        if (auto *edit = field->box->findChild<QLineEdit *>())
            connect(edit, &QLineEdit::returnPressed, this, &RadarProfileForm::applyRequested);
}

void RadarProfileForm::showValue(UnitField &field, double value)
{
    field.box->setValue(value / field.perUnit);
    field.shown = field.box->value();
    field.shownValue = value;
}

double RadarProfileForm::valueOf(const UnitField &field) const
{
    const double shown = field.box->value();
    if (shown == field.shown)
        return field.shownValue;
    // Rounded to the box's last decimal in whole units of it: 24.125 GHz is 24125000000 Hz, not
    // the nearest double to 24.125 times 1e9.
    const double scale = std::pow(10.0, field.box->decimals());
    return std::round(shown * scale) * (field.perUnit / scale);
}

void RadarProfileForm::showProfile(const RadarProfile &profile)
{
    name = profile.name;
    showValue(carrier, profile.carrierHz);
    showValue(sampleRate, profile.sampleRateHz);
    showValue(bandwidth, profile.hasSweep() ? profile.bandwidthHz : 0.0);
    showValue(sweep, profile.hasSweep() ? profile.sweepSeconds : 0.0);
    rangeOffset->setText(numberText(profile.rangeOffsetM));
    approaching->setCurrentIndex(profile.approachingSign > 0 ? 1 : 0);
    beat->setCurrentIndex(profile.beatSign > 0 ? 1 : 0);
    iqGain->setText(numberText(profile.iqGainDb));
    iqPhase->setText(numberText(profile.iqPhaseDeg));
    rangeSpan->setCurrentIndex(profile.fullSpan ? 1 : 0);
    chirp->setCurrentIndex(profile.chirpSign == 0 ? 0 : profile.chirpSign > 0 ? 1 : 2);
    unmark();
    problem->clear();
}

bool RadarProfileForm::read(RadarProfile *profile, QString *error)
{
    unmark();
    // The fields become a profile file's object, so that the same checks, in the same words,
    // decide: a value that is not a number stays text and is refused as such.
    QJsonObject object;
    if (!name.isEmpty())
        object.insert("name", name);
    auto put = [&object](const char *key, const QLineEdit *field) {
        const QString text = field->text().trimmed();
        if (text.isEmpty())
            return;
        bool ok = false;
        const double value = text.toDouble(&ok);
        object.insert(QLatin1String(key), ok ? QJsonValue(value) : QJsonValue(text));
    };
    const auto putUnit = [&object, this](const char *key, const UnitField &field) {
        const double value = valueOf(field);
        if (value != 0.0 || field.box->specialValueText().isEmpty())
            object.insert(QLatin1String(key), value);
    };
    putUnit("carrier_hz", carrier);
    putUnit("sample_rate_hz", sampleRate);
    putUnit("bandwidth_hz", bandwidth);
    putUnit("sweep_s", sweep);
    put("range_offset_m", rangeOffset);
    object.insert("approaching", approaching->currentText());
    object.insert("beat", beat->currentText());
    put("iq_gain_db", iqGain);
    put("iq_phase_deg", iqPhase);
    object.insert("range_span", rangeSpan->currentText());
    if (chirp->currentIndex() > 0)
        object.insert("chirp", chirp->currentText());
    RadarProfile candidate;
    QString refused;
    if (RadarProfile::parse(
            QJsonDocument(object).toJson(), QStringLiteral("the form"), &candidate, &refused)) {
        *profile = candidate;
        problem->clear();
        return true;
    }
    // The key named first in the reason is the field at fault.
    const std::pair<const char *, QWidget *> fields[] = {{"carrier_hz", carrier.box},
        {"sample_rate_hz", sampleRate.box}, {"bandwidth_hz", bandwidth.box}, {"sweep_s", sweep.box},
        {"range_offset_m", rangeOffset}, {"approaching", approaching}, {"beat", beat},
        {"iq_gain_db", iqGain}, {"iq_phase_deg", iqPhase}, {"range_span", rangeSpan},
        {"chirp", chirp}};
    int first = -1;
    for (const auto &field : fields) {
        const int at = refused.indexOf(QLatin1String(field.first));
        if (at >= 0 && (first < 0 || at < first)) {
            first = at;
            marked = field.second;
        }
    }
    if (marked)
        marked->setStyleSheet(QStringLiteral("background: #ffd0d0"));
    problem->setText(refused + QStringLiteral("; the profile in force stays"));
    *error = refused;
    return false;
}

QString RadarProfileForm::refusal() const
{
    return problem->text();
}

void RadarProfileForm::showProblem(const QString &text)
{
    problem->setText(text);
}

void RadarProfileForm::showIqImbalance(double gainDb, double phaseDeg)
{
    unmark();
    iqGain->setText(QString::number(gainDb, 'f', 3));
    iqPhase->setText(QString::number(phaseDeg, 'f', 3));
}

void RadarProfileForm::unmark()
{
    if (marked)
        marked->setStyleSheet(QString());
    marked = nullptr;
}
