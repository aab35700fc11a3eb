// SPDX-License-Identifier: MIT
// The radar view: a separate, non-modal window showing the board's frames in metres and metres
// per second. Every frame the worker decodes is analysed on the worker's thread (a RadarTap); the
// window takes the newest analysis of each modulation at the screen's pace, follows the live
// view's pause, and does not wake up while it is hidden, paused or without a link.
#pragma once

#include "radarplot.h"
#include "radarprofile.h"
#include "radartap.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QSpinBox;
class RadarProfileForm;
class SerialPort;

class RadarViewWindow : public QWidget {
    Q_OBJECT

public:
    static constexpr int kDrainIntervalMs = 30;

    // A top-level window even with a parent. Not shown yet; no profile until one is given.
    explicit RadarViewWindow(QWidget *parent = nullptr);
    ~RadarViewWindow() override;

    // As the spectrum history: receives the frames of `port` while the window is open.
    void attach(SerialPort *port);
    void detach();

    void setPaused(bool paused);
    bool isPaused() const { return paused; }
    // Whether new analyses are taken (shown, not paused, a link open): each as it arrives, at
    // most once in kDrainIntervalMs.
    bool isDraining() const { return isVisible() && !paused && linkOpen; }

    // Reads a profile file and puts it in force (and in the form); remembered for the next start.
    // A profile given so is kept over a recording's own profile.
    bool loadProfile(const QString &path, QString *error);
    // Puts the profile used last (QSettings) in force, if there is one; true when there was.
    bool restoreLastProfile();
    void applyProfile(const RadarProfile &profile, bool remember);
    bool hasProfile() const { return profileInForce; }
    const RadarProfile &profile() const { return radar; }
    const RadarSettings &settings() const { return options; }

    // Both readouts as text, as "Copy readout" puts them on the clipboard.
    QString readoutText() const;
    // The newest frame shown (counted from the link's first), -1 when none.
    int64_t shownFrame() const;
    bool savePicture(const QString &path, QString *error);
    bool saveTargets(const QString &path, QString *error);

    FrameTap *frameTap() { return &tap; }
    RadarTap &radarTap() { return tap; }
    RadarPlot *plot() const { return picture; }
    RadarProfileForm *form() const { return profileForm; }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void buildControls();
    void applyForm();
    void settingsChanged();
    void drain();
    void newsArrived();
    void linkChanged(bool open);
    void updateTimer();
    void connectTap();
    void disconnectTap();
    void say(const QString &text);
    void updateMessage();

    RadarTap tap;
    RadarPlot *picture;
    RadarProfileForm *profileForm;
    QComboBox *windowChoice = nullptr;
    QSpinBox *averaging = nullptr;
    QCheckBox *maxHold = nullptr;
    QCheckBox *background = nullptr;
    QLabel *note = nullptr;
    RadarProfile radar;
    RadarSettings options;
    bool profileInForce = false;
    std::unique_ptr<RadarAnalyzer> lineAnalyzer; // the detector's settings, for the threshold line
    RadarTap::Latest latest[2];
    QTimer drainTimer; // the rest of the interval since the last drain, when news came sooner
    QElapsedTimer sinceDrain;
    QPointer<SerialPort> attachedPort;
    bool tapConnected = false;
    bool linkOpen = false;
    bool paused = false;
};
