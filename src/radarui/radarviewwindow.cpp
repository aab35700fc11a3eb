// SPDX-License-Identifier: MIT
#include "radarviewwindow.h"

#include "profilefile.h"
#include "radarprofileform.h"
#include "radarreadout.h"
#include "serialport.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

// The viewer's own settings file (~/.config/vazorez/vazorez-viewer.conf on Linux).
const char kSettingsOrganisation[] = "vazorez";
const char kSettingsApplication[] = "vazorez-viewer";
const char kProfileKey[] = "radarView/profile";
// Background subtraction learns the scene over this many frames (about 6 s at line rate).
constexpr int kBackgroundFrames = 64;

QPushButton *button(const char *objectName, const QString &text)
{
    auto *pushButton = new QPushButton(text);
    pushButton->setObjectName(QLatin1String(objectName));
    return pushButton;
}

} // namespace

RadarViewWindow::RadarViewWindow(QWidget *parent)
    : QWidget(parent, Qt::Window)
    , picture(new RadarPlot)
    , profileForm(new RadarProfileForm)
{
    setObjectName(QStringLiteral("RadarViewWindow"));
    setWindowTitle(QStringLiteral("Radar view"));
    buildControls();
    resize(1120, 720);
    drainTimer.setSingleShot(true);
    drainTimer.setTimerType(Qt::PreciseTimer);
    connect(&drainTimer, &QTimer::timeout, this, &RadarViewWindow::drain);
    // No timer ticks while nothing comes: the worker says when an analysis arrived (one call on
    // its way at a time), and the window takes it then, or when the interval since the last is up.
    tap.setNewsListener([this] {
        QMetaObject::invokeMethod(this, &RadarViewWindow::newsArrived, Qt::QueuedConnection);
    });
    tap.setFollowSidecars(true);
    // Told on the worker's thread; the posted call is dropped with the window if it goes first.
    tap.setLinkListener([this](bool open, const QString &) {
        QMetaObject::invokeMethod(
            this, [this, open] { linkChanged(open); }, Qt::QueuedConnection);
    });
    updateMessage();
}

RadarViewWindow::~RadarViewWindow()
{
    disconnectTap();
}

void RadarViewWindow::buildControls()
{
    windowChoice = new QComboBox;
    windowChoice->setObjectName(QStringLiteral("windowCombo"));
    windowChoice->addItems(
        {QStringLiteral("hann"), QStringLiteral("blackman-harris"), QStringLiteral("none")});
    averaging = new QSpinBox;
    averaging->setObjectName(QStringLiteral("averagingSpin"));
    averaging->setRange(1, 100);
    averaging->setSpecialValueText(QStringLiteral("off"));
    averaging->setSuffix(QStringLiteral(" frames"));
    maxHold = new QCheckBox(QStringLiteral("Max-hold"));
    maxHold->setObjectName(QStringLiteral("maxHoldCheck"));
    background = new QCheckBox(QStringLiteral("Background"));
    background->setObjectName(QStringLiteral("backgroundCheck"));
    background->setToolTip(QStringLiteral("Subtract the scene's running mean (what stands still)"));
    maxHold->setToolTip(QStringLiteral("Keep the highest level of each cell until Reset"));
    QPushButton *holdReset = button("maxHoldReset", QStringLiteral("Reset"));
    QPushButton *learn = button("backgroundLearn", QStringLiteral("Learn now"));

    auto *processing = new QGroupBox(QStringLiteral("Processing"));
    auto *processingForm = new QFormLayout(processing);
    processingForm->addRow(QStringLiteral("Window"), windowChoice);
    processingForm->addRow(QStringLiteral("Averaging"), averaging);
    auto *holdRow = new QHBoxLayout;
    holdRow->addWidget(maxHold);
    holdRow->addWidget(holdReset);
    processingForm->addRow(holdRow);
    auto *backgroundRow = new QHBoxLayout;
    backgroundRow->addWidget(background);
    backgroundRow->addWidget(learn);
    processingForm->addRow(backgroundRow);

    auto *profileBox = new QGroupBox(QStringLiteral("Radar profile"));
    auto *profileLayout = new QVBoxLayout(profileBox);
    profileLayout->addWidget(profileForm);

    QPushButton *copy = button("copyReadoutButton", QStringLiteral("Copy readout"));
    QPushButton *savePng = button("savePictureButton", QStringLiteral("Save picture..."));
    QPushButton *saveCsv = button("saveTargetsButton", QStringLiteral("Save targets (30 s)..."));
    note = new QLabel;
    note->setObjectName(QStringLiteral("radarNote"));
    note->setWordWrap(true);
    note->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto *side = new QVBoxLayout;
    side->addWidget(profileBox);
    side->addWidget(processing);
    side->addWidget(copy);
    side->addWidget(savePng);
    side->addWidget(saveCsv);
    side->addWidget(note);
    side->addStretch(1);
    auto *sidePanel = new QWidget;
    sidePanel->setLayout(side);
    sidePanel->setFixedWidth(320);
    auto *layout = new QHBoxLayout(this);
    layout->addWidget(picture, 1);
    layout->addWidget(sidePanel);

    connect(profileForm, &RadarProfileForm::applyRequested, this, &RadarViewWindow::applyForm);
    connect(profileForm, &RadarProfileForm::loadRequested, this, [this] {
        const QString path = QFileDialog::getOpenFileName(
            this, QStringLiteral("Load radar profile"), QString(), QStringLiteral("JSON (*.json)"));
        QString error;
        if (!path.isEmpty() && !loadProfile(path, &error))
            profileForm->showProblem(error);
    });
    connect(profileForm, &RadarProfileForm::saveRequested, this, [this] {
        RadarProfile profile;
        QString error;
        if (!profileForm->read(&profile, &error))
            return;
        const QString path = QFileDialog::getSaveFileName(
            this, QStringLiteral("Save radar profile"), QString(), QStringLiteral("JSON (*.json)"));
        if (path.isEmpty())
            return;
        if (saveRadarProfile(path, profile, &error))
            say(QStringLiteral("Saved the profile to %1").arg(path));
        else
            profileForm->showProblem(error);
    });
    // The estimate goes into the form's two fields; the user applies it.
    connect(profileForm, &RadarProfileForm::calibrateRequested, this, [this] {
        const IqCalibration estimate = tap.calibrateIq();
        if (!estimate.ok) {
            profileForm->showProblem(QStringLiteral("cannot calibrate: %1").arg(estimate.refusal));
            return;
        }
        profileForm->showIqImbalance(estimate.gainDb, estimate.phaseDeg);
        profileForm->showProblem(QString());
        say(estimate.summary() + QStringLiteral("; apply the profile to use it"));
    });
    connect(windowChoice, &QComboBox::currentTextChanged, this, &RadarViewWindow::settingsChanged);
    connect(averaging, qOverload<int>(&QSpinBox::valueChanged), this,
        &RadarViewWindow::settingsChanged);
    connect(maxHold, &QCheckBox::toggled, this, &RadarViewWindow::settingsChanged);
    connect(background, &QCheckBox::toggled, this, &RadarViewWindow::settingsChanged);
    // Each forgets what it names alone: the averaging and the track go on.
    connect(holdReset, &QPushButton::clicked, this, [this] { tap.resetMaxHold(); });
    connect(learn, &QPushButton::clicked, this, [this] { tap.relearnBackground(); });
    auto *copyAction = new QAction(this);
    copyAction->setShortcut(QKeySequence::Copy);
    addAction(copyAction);
    const auto copyReadout = [this] {
        QApplication::clipboard()->setText(readoutText());
        say(QStringLiteral("Readout copied"));
    };
    connect(copyAction, &QAction::triggered, this, copyReadout);
    connect(copy, &QPushButton::clicked, this, copyReadout);
    connect(savePng, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(
            this, QStringLiteral("Save picture"), QString(), QStringLiteral("PNG picture (*.png)"));
        QString error;
        if (!path.isEmpty())
            say(savePicture(path, &error) ? QStringLiteral("Saved the picture to %1").arg(path)
                                          : error);
    });
    connect(saveCsv, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(
            this, QStringLiteral("Save targets"), QString(), QStringLiteral("CSV (*.csv)"));
        QString error;
        if (!path.isEmpty())
            say(saveTargets(path, &error) ? QStringLiteral("Saved the targets to %1").arg(path)
                                          : error);
    });
}

void RadarViewWindow::say(const QString &text)
{
    note->setText(text);
}

void RadarViewWindow::updateMessage()
{
    picture->setMessage(profileInForce
            ? QString()
            : QStringLiteral("No radar profile yet: fill in the form on the right and apply it, "
                             "or load a profile file."));
}

bool RadarViewWindow::loadProfile(const QString &path, QString *error)
{
    RadarProfile profile;
    if (!RadarProfile::load(path, &profile, error))
        return false;
    applyProfile(profile, true);
    say(QStringLiteral("profile from %1").arg(path));
    return true;
}

bool RadarViewWindow::restoreLastProfile()
{
    const QSettings remembered{
        QString::fromLatin1(kSettingsOrganisation), QString::fromLatin1(kSettingsApplication)};
    const QByteArray json = remembered.value(QLatin1String(kProfileKey)).toByteArray();
    RadarProfile profile;
    QString error;
    if (json.isEmpty()
        || !RadarProfile::parse(json, QStringLiteral("the last profile"), &profile, &error))
        return false;
    applyProfile(profile, false);
    tap.setFollowSidecars(true); // a recording's own profile replaces one only remembered
    return true;
}

void RadarViewWindow::applyProfile(const RadarProfile &profile, bool remember)
{
    radar = profile;
    profileInForce = true;
    tap.setFollowSidecars(false); // given by the user: it stays over a recording's own
    profileForm->showProfile(profile);
    if (remember) {
        QSettings remembered{
            QString::fromLatin1(kSettingsOrganisation), QString::fromLatin1(kSettingsApplication)};
        remembered.setValue(QLatin1String(kProfileKey), radarProfileJson(profile));
    }
    settingsChanged();
}

void RadarViewWindow::applyForm()
{
    RadarProfile profile;
    QString error;
    if (profileForm->read(&profile, &error))
        applyProfile(profile, true);
}

void RadarViewWindow::settingsChanged()
{
    spectrumWindowFromName(windowChoice->currentText(), &options.window);
    options.averageFrames = averaging->value();
    options.maxHold = maxHold->isChecked();
    options.backgroundFrames = background->isChecked() ? kBackgroundFrames : 0;
    if (!profileInForce)
        return;
    lineAnalyzer = std::make_unique<RadarAnalyzer>(radar, options);
    tap.configure(radar, options);
    updateMessage();
}

QString RadarViewWindow::readoutText() const
{
    QStringList parts;
    for (int mode = 0; mode < 2; ++mode) {
        const RadarPlot::Pane &pane = picture->pane(mode);
        if (pane.seen)
            parts << (mode ? QStringLiteral("FMCW: ") : QStringLiteral("CW: "))
                    + ::readoutText(pane.analysis).replace('\n', QStringLiteral("; "));
    }
    return parts.isEmpty() ? QStringLiteral("no target") : parts.join('\n');
}

int64_t RadarViewWindow::shownFrame() const
{
    return std::max(latest[0].frame, latest[1].frame);
}

bool RadarViewWindow::savePicture(const QString &path, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !picture->grab().save(&file, "PNG") || !file.commit()) {
        *error = QStringLiteral("cannot write the picture to %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool RadarViewWindow::saveTargets(const QString &path, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(targetsCsv(tap.recentTargets())) < 0
        || !file.commit()) {
        *error = QStringLiteral("cannot write the targets to %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

void RadarViewWindow::attach(SerialPort *port)
{
    disconnectTap();
    attachedPort = port;
    if (isVisible())
        connectTap();
    updateTimer();
}

void RadarViewWindow::detach()
{
    disconnectTap();
    attachedPort = nullptr;
    updateTimer();
}

void RadarViewWindow::connectTap()
{
    if (attachedPort && !tapConnected) {
        attachedPort->addTap(&tap);
        tapConnected = true;
        linkOpen = attachedPort->status().open;
    }
}

void RadarViewWindow::disconnectTap()
{
    if (tapConnected && attachedPort)
        attachedPort->removeTap(&tap);
    tapConnected = false;
    linkOpen = false;
}

void RadarViewWindow::linkChanged(bool open)
{
    linkOpen = open;
    bool loaded = false;
    RadarProfile beside;
    QString text;
    if (tap.takeSidecar(&loaded, &beside, &text)) {
        if (loaded) {
            radar = beside;
            profileInForce = true;
            profileForm->showProfile(beside);
            lineAnalyzer = std::make_unique<RadarAnalyzer>(radar, options);
            updateMessage();
        }
        say(text);
    }
    if (!paused)
        drain();
    updateTimer();
}

void RadarViewWindow::setPaused(bool pause)
{
    if (pause == paused)
        return;
    if (pause)
        drain();
    paused = pause;
    updateTimer();
}

void RadarViewWindow::updateTimer()
{
    if (isDraining())
        drain(); // what came meanwhile, and the news from now on
    else
        drainTimer.stop();
}

void RadarViewWindow::newsArrived()
{
    if (!isDraining() || drainTimer.isActive())
        return;
    const qint64 since = sinceDrain.isValid() ? sinceDrain.elapsed() : kDrainIntervalMs;
    if (since >= kDrainIntervalMs)
        drain();
    else
        drainTimer.start(int(kDrainIntervalMs - since));
}

void RadarViewWindow::drain()
{
    drainTimer.stop();
    sinceDrain.start();
    tap.takeNews();
    int changed = 0; // bit per mode
    for (int mode = 0; mode < 2; ++mode) {
        if (!tap.takeLatest(mode, latest[mode]))
            continue;
        RadarPlot::Pane &pane = picture->pane(mode);
        changed |= 1 << mode;
        if (latest[mode].frame < 0) {
            pane = RadarPlot::Pane(); // a new link: nothing of this modulation yet
            continue;
        }
        pane.seen = true;
        pane.analysis = latest[mode].analysis;
        if (lineAnalyzer)
            lineAnalyzer->targetDetector().thresholdLine(pane.analysis.spectrum.circle(),
                pane.analysis.spectrum.cellsPerBin, int(pane.analysis.spectrum.power.size()),
                pane.thresholdDb);
        pane.track = tap.track(mode);
    }
    if (changed)
        picture->refresh(changed);
}

void RadarViewWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    connectTap();
    if (!paused)
        drain();
    updateTimer();
}

void RadarViewWindow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (event->spontaneous())
        return;
    disconnectTap();
    updateTimer();
}
