// SPDX-License-Identifier: MIT
// The radar profile as a form: its values are checked as a profile file's are; a refused value is
// marked and the reason said beside it, and the profile in force stays until one is accepted.
#pragma once

#include "radarprofile.h"

#include <QWidget>

class QComboBox;
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
    void unmark();

    QLineEdit *carrier;
    QLineEdit *sampleRate;
    QLineEdit *bandwidth;
    QLineEdit *sweep;
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
