// SPDX-License-Identifier: MIT
#include "radarprofileform.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

QLineEdit *numberField(const char *objectName, const QString &tip)
{
    auto *field = new QLineEdit;
    field->setObjectName(QLatin1String(objectName));
    field->setToolTip(tip);
    return field;
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
    , carrier(numberField("carrierEdit", "carrier_hz: the transmit frequency, the sweep's centre"))
    , sampleRate(numberField("sampleRateEdit", "sample_rate_hz: of I and Q within one frame"))
    , bandwidth(numberField("bandwidthEdit", "bandwidth_hz of the FMCW sweep; empty: none"))
    , sweep(numberField("sweepEdit", "sweep_s: the FMCW sweep's time; empty: none"))
    , rangeOffset(numberField("rangeOffsetEdit", "range_offset_m: taken off every range"))
    , approaching(signField("approachingCombo",
          "The sign of the Doppler frequency of I + jQ for an approaching target"))
    , beat(signField("beatCombo", "The side of the spectrum on which FMCW beat tones lie"))
    , problem(new QLabel)
{
    setObjectName(QStringLiteral("radarProfileForm"));
    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Carrier (Hz)"), carrier);
    form->addRow(QStringLiteral("Sample rate (Hz)"), sampleRate);
    form->addRow(QStringLiteral("Bandwidth (Hz)"), bandwidth);
    form->addRow(QStringLiteral("Sweep time (s)"), sweep);
    form->addRow(QStringLiteral("Approaching"), approaching);
    form->addRow(QStringLiteral("Beat side"), beat);
    form->addRow(QStringLiteral("Range offset (m)"), rangeOffset);
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
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(form);
    layout->addLayout(buttons);
    layout->addWidget(problem);
    for (QLineEdit *field : {carrier, sampleRate, bandwidth, sweep, rangeOffset})
        connect(field, &QLineEdit::returnPressed, this, &RadarProfileForm::applyRequested);
}

void RadarProfileForm::showProfile(const RadarProfile &profile)
{
    name = profile.name;
    carrier->setText(numberText(profile.carrierHz));
    sampleRate->setText(numberText(profile.sampleRateHz));
    bandwidth->setText(profile.hasSweep() ? numberText(profile.bandwidthHz) : QString());
    sweep->setText(profile.hasSweep() ? numberText(profile.sweepSeconds) : QString());
    rangeOffset->setText(numberText(profile.rangeOffsetM));
    approaching->setCurrentIndex(profile.approachingSign > 0 ? 1 : 0);
    beat->setCurrentIndex(profile.beatSign > 0 ? 1 : 0);
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
    put("carrier_hz", carrier);
    put("sample_rate_hz", sampleRate);
    put("bandwidth_hz", bandwidth);
    put("sweep_s", sweep);
    put("range_offset_m", rangeOffset);
    object.insert("approaching", approaching->currentText());
    object.insert("beat", beat->currentText());
    RadarProfile candidate;
    QString refused;
    if (RadarProfile::parse(
            QJsonDocument(object).toJson(), QStringLiteral("the form"), &candidate, &refused)) {
        *profile = candidate;
        problem->clear();
        return true;
    }
    // The key named first in the reason is the field at fault.
    const std::pair<const char *, QWidget *> fields[] = {{"carrier_hz", carrier},
        {"sample_rate_hz", sampleRate}, {"bandwidth_hz", bandwidth}, {"sweep_s", sweep},
        {"range_offset_m", rangeOffset}, {"approaching", approaching}, {"beat", beat}};
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

void RadarProfileForm::unmark()
{
    if (marked)
        marked->setStyleSheet(QString());
    marked = nullptr;
}
