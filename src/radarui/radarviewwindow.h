// SPDX-License-Identifier: MIT
// The radar view: a separate, non-modal window showing the board's frames in metres and metres
// per second. Every frame the worker decodes is analysed on the worker's thread (a RadarTap); the
// window takes the newest analysis of each modulation at the screen's pace, follows the live
// view's pause, and does not wake up while it is hidden, paused or without a link. Beside the
// picture: presence, the passes of the session, and a running log of every frame's targets.
#pragma once

#include "radarplot.h"
#include "radarprofile.h"
#include "radartap.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <memory>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QSpinBox;
class QTableWidget;
class MicroMotionPane;
class RadarProfileForm;
class SerialPort;

class RadarViewWindow : public QWidget {
    Q_OBJECT

public:
    static constexpr int kDrainIntervalMs = 30;
    // A readout no frame has backed for this long is marked stale.
    static constexpr int kStaleMs = 2000;
    // The running log takes the tap's new targets this often, and the pass list shows this many.
    static constexpr int kLogIntervalMs = 250;
    static constexpr int kPassRowsShown = 200;

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
    // The running log: every frame's targets from now on appended to `path` (its header first
    // when it is new), in batches from the GUI thread, until stopTargetLog() or the window closes.
    bool startTargetLog(const QString &path, QString *error);
    void stopTargetLog();
    bool isLoggingTargets() const { return targetLog.isOpen(); }
    // Writes what the tap logged since the last batch.
    void flushTargetLog();
    // What the note line says last.
    QString noteText() const;

    FrameTap *frameTap() { return &tap; }
    RadarTap &radarTap() { return tap; }
    RadarPlot *plot() const { return picture; }
    RadarProfileForm *form() const { return profileForm; }
    MicroMotionPane *microMotionPane() const { return microMotion; }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void buildControls();
    void applyForm();
    void settingsChanged();
    void presenceGateChanged();
    void showPresence();
    void drain();
    void newsArrived();
    void linkChanged(bool open);
    void updateTimer();
    void connectTap();
    void disconnectTap();
    void say(const QString &text);
    void updateMessage();
    void checkStale();
    void showTracking(bool restarted);

    QWidget *buildTraffic();

    RadarTap tap;
    RadarPlot *picture;
    RadarProfileForm *profileForm;
    MicroMotionPane *microMotion;
    VitalsSnapshot vitalsView;
    QComboBox *windowChoice = nullptr;
    QSpinBox *averaging = nullptr;
    QCheckBox *maxHold = nullptr;
    QCheckBox *background = nullptr;
    QLabel *note = nullptr;
    QLabel *presence = nullptr;
    QLabel *presenceGate = nullptr;
    // The presence gate: the least speed, the range from and to (to 0: any), the hold.
    QDoubleSpinBox *presenceSpeed = nullptr;
    QDoubleSpinBox *presenceFrom = nullptr;
    QDoubleSpinBox *presenceTo = nullptr;
    QDoubleSpinBox *presenceHold = nullptr;
    QLabel *passSummary = nullptr;
    QTableWidget *passTable = nullptr;
    QCheckBox *logCheck = nullptr;
    QFile targetLog;
    uint64_t logCursor = 0;
    int64_t logRows = 0, logLost = 0;
    QTimer logTimer;
    QTimer staleTimer;
    QElapsedTimer sinceFrame; // since a new analysis was last taken
    int seenLink = -1; // the port's link the tap last heard of, -1 none
    QString linkNote; // what the link's opening said, to go with the restart's note
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
