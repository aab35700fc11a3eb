// SPDX-License-Identifier: MIT
// The radar profile as a form: its values are checked as a profile file's are; a refused value is
// marked and the reason said beside it, and the profile in force stays until one is accepted.
// Frequencies and times are shown in the units a board's sheet gives them (GHz, MHz, kHz, ms);
// the profile keeps Hz and seconds.
#pragma once

#include "radarprofile.h"

#include <QWidget>

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;

class RadarProfileForm : public QWidget {
    Q_OBJECT

public:
    explicit RadarProfileForm(QWidget *parent = nullptr);

    // Fills the fields with `profile`; clears any refusal.
    void showProfile(const RadarProfile &profile);
    // Checks the fields; true with *profile set, or false with the field marked and the reason
    // shown (and in *error).
    bool read(RadarProfile *profile, QString *error);
    // The field the last refusal marked, or null.
    QWidget *markedField() const { return marked; }
    QString refusal() const;
    void showProblem(const QString &problem);
    // Puts an estimate of the front end's imbalance in its two fields, for the user to apply.
    void showIqImbalance(double gainDb, double phaseDeg);

signals:
    void applyRequested();
    void loadRequested();
    void saveRequested();
    void calibrateRequested();

private:
    // A value in a unit of its own: `perUnit` Hz or seconds to one of the box's.
    struct UnitField {
        QDoubleSpinBox *box = nullptr;
        double perUnit = 1.0;
        double shown = 0.0; // what showProfile() put in the box,
        double shownValue = 0.0; // for this value of the profile
    };
    void unmark();
    void showValue(UnitField &field, double value);
    // The field's value in Hz or seconds: the profile's own while the box shows what it was
    // given (a value finer than the box's decimals is not rounded by an Apply), else the box's.
    double valueOf(const UnitField &field) const;

    UnitField carrier;
    UnitField sampleRate;
    UnitField bandwidth;
    UnitField sweep;
    QLineEdit *rangeOffset;
    QComboBox *approaching;
    QComboBox *beat;
    QLineEdit *iqGain;
    QLineEdit *iqPhase;
    QComboBox *rangeSpan;
    QComboBox *chirp;
    QLabel *problem;
    QWidget *marked = nullptr;
    QString name;
};
