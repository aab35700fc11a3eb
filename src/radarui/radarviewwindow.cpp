// SPDX-License-Identifier: MIT
#include "radarviewwindow.h"

#include "micromotionpane.h"
#include "profilefile.h"
#include "radarprofileform.h"
#include "radarreadout.h"
#include "serialport.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QSettings>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

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
    , microMotion(new MicroMotionPane)
{
    setObjectName(QStringLiteral("RadarViewWindow"));
    setWindowTitle(QStringLiteral("Radar view"));
    buildControls();
    resize(1120, 720);
    drainTimer.setSingleShot(true);
    drainTimer.setTimerType(Qt::PreciseTimer);
    connect(&drainTimer, &QTimer::timeout, this, &RadarViewWindow::drain);
    logTimer.setInterval(kLogIntervalMs);
    connect(&logTimer, &QTimer::timeout, this, &RadarViewWindow::flushTargetLog);
    staleTimer.setInterval(500);
    connect(&staleTimer, &QTimer::timeout, this, &RadarViewWindow::checkStale);
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
    stopTargetLog();
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

    // The presence gate, as vazorez-decode --presence takes it; the tracks go on when it changes.
    const TrackerSettings defaults;
    const auto gateBox = [&](const char *name, double most, double step, double value,
                             const QString &suffix, const QString &tip) {
        auto *box = new QDoubleSpinBox;
        box->setObjectName(QLatin1String(name));
        box->setRange(0.0, most);
        box->setDecimals(1);
        box->setSingleStep(step);
        box->setValue(value);
        box->setSuffix(suffix);
        box->setToolTip(tip);
        box->setKeyboardTracking(false);
        return box;
    };
    presenceSpeed = gateBox("presenceSpeed", 100.0, 0.1, defaults.presenceMinSpeedMps,
        QStringLiteral(" m/s"), QStringLiteral("A confirmed track at least this fast, either way"));
    presenceFrom = gateBox("presenceFrom", 10000.0, 0.5, defaults.presenceMinRangeM,
        QStringLiteral(" m"), QStringLiteral("Nearer tracks do not count (where the range is known)"));
    presenceTo = gateBox("presenceTo", 10000.0, 0.5, 0.0, QStringLiteral(" m"),
        QStringLiteral("Farther tracks do not count (where the range is known)"));
    presenceTo->setSpecialValueText(QStringLiteral("any"));
    presenceHold = gateBox("presenceHold", 3600.0, 0.5, defaults.presenceHoldSeconds,
        QStringLiteral(" s"), QStringLiteral("Present this long after the last such track"));
    auto *presenceBox = new QGroupBox(QStringLiteral("Presence"));
    auto *presenceForm = new QFormLayout(presenceBox);
    presenceForm->addRow(QStringLiteral("Moving at least"), presenceSpeed);
    presenceForm->addRow(QStringLiteral("Range from"), presenceFrom);
    presenceForm->addRow(QStringLiteral("Range to"), presenceTo);
    presenceForm->addRow(QStringLiteral("Held for"), presenceHold);
    for (QDoubleSpinBox *box : {presenceSpeed, presenceFrom, presenceTo, presenceHold})
        connect(box, qOverload<double>(&QDoubleSpinBox::valueChanged), this,
            &RadarViewWindow::presenceGateChanged);

    QPushButton *copy = button("copyReadoutButton", QStringLiteral("Copy readout"));
    QPushButton *savePng = button("savePictureButton", QStringLiteral("Save picture..."));
    QPushButton *saveCsv = button("saveTargetsButton", QStringLiteral("Save targets (30 s)..."));
    logCheck = new QCheckBox(QStringLiteral("Log targets to file..."));
    logCheck->setObjectName(QStringLiteral("logTargetsCheck"));
    logCheck->setToolTip(QStringLiteral("Append every frame's targets to a csv file while the "
                                        "view is open"));
    note = new QLabel;
    note->setObjectName(QStringLiteral("radarNote"));
    note->setWordWrap(true);
    note->setTextInteractionFlags(Qt::TextSelectableByMouse);

    // The profile and the processing are set once and looked at rarely: tabs, so that presence
    // and the passes stay in sight above them.
    auto *tabs = new QTabWidget;
    tabs->setObjectName(QStringLiteral("radarTabs"));
    tabs->addTab(profileForm, QStringLiteral("Profile"));
    auto *processingPage = new QWidget;
    auto *processingLayout = new QVBoxLayout(processingPage);
    processingLayout->addWidget(processing);
    processingLayout->addWidget(presenceBox);
    processingLayout->addStretch(1);
    tabs->addTab(processingPage, QStringLiteral("Processing"));
    tabs->addTab(microMotion, QStringLiteral("Micro-motion"));
    connect(microMotion, &MicroMotionPane::rangeChosen, this,
        [this](double metres) { tap.configureVitals(metres); });
    auto *actions = new QGridLayout;
    actions->addWidget(copy, 0, 0);
    actions->addWidget(savePng, 0, 1);
    actions->addWidget(saveCsv, 1, 0);
    actions->addWidget(logCheck, 1, 1);

    auto *side = new QVBoxLayout;
    side->setContentsMargins(0, 0, 0, 0);
    side->addWidget(buildTraffic());
    side->addWidget(tabs, 1);
    side->addLayout(actions);
    side->addWidget(note);
    auto *sidePanel = new QWidget;
    sidePanel->setLayout(side);
    sidePanel->setFixedWidth(380);
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
    connect(logCheck, &QCheckBox::toggled, this, [this](bool on) {
        if (!on) {
            stopTargetLog();
            return;
        }
        if (isLoggingTargets())
            return;
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Log targets to"),
            QString(), QStringLiteral("CSV (*.csv)"), nullptr,
            QFileDialog::DontConfirmOverwrite); // appended to, not replaced
        QString error;
        if (path.isEmpty() || !startTargetLog(path, &error)) {
            const QSignalBlocker quiet(logCheck);
            logCheck->setChecked(false);
            if (!path.isEmpty())
                say(error);
        }
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

QWidget *RadarViewWindow::buildTraffic()
{
    presence = new QLabel;
    presence->setObjectName(QStringLiteral("presenceLabel"));
    presence->setAlignment(Qt::AlignCenter);
    presence->setMinimumWidth(80);
    presenceGate = new QLabel;
    presenceGate->setObjectName(QStringLiteral("presenceGate"));
    presenceGate->setWordWrap(true);
    passSummary = new QLabel;
    passSummary->setObjectName(QStringLiteral("passSummary"));
    passSummary->setWordWrap(true);
    passTable = new QTableWidget(0, 4);
    passTable->setObjectName(QStringLiteral("passTable"));
    passTable->setHorizontalHeaderLabels({QStringLiteral("start s"), QStringLiteral("top m/s"),
        QStringLiteral("direction"), QStringLiteral("near m")});
    passTable->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    passTable->setToolTip(QStringLiteral(
        "The session's passes, newest first (the last %1 shown): a confirmed track from its first "
        "hit to its last, its largest speed and its nearest range where the frames measure one")
                              .arg(kPassRowsShown));
    passTable->verticalHeader()->hide();
    passTable->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    passTable->horizontalHeader()->setStretchLastSection(true);
    passTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    passTable->setSelectionMode(QAbstractItemView::NoSelection);
    passTable->setFixedHeight(150);
    auto *box = new QGroupBox(QStringLiteral("Traffic"));
    auto *grid = new QGridLayout(box);
    grid->addWidget(presence, 0, 0);
    grid->addWidget(presenceGate, 0, 1);
    grid->addWidget(passSummary, 1, 0, 1, 2);
    grid->addWidget(passTable, 2, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    showTracking(false);
    return box;
}

void RadarViewWindow::say(const QString &text)
{
    note->setText(text);
}

QString RadarViewWindow::noteText() const
{
    return note->text();
}

void RadarViewWindow::showPresence()
{
    // Presence is as old as the newest frame: after the line is lost or while no frame comes it
    // is said as stale, greyed, as the readouts are.
    const bool present = picture->tracking().present;
    const QString stale = picture->staleNote();
    QString text = present ? QStringLiteral("present") : QStringLiteral("absent");
    if (!stale.isEmpty())
        text += QStringLiteral(" (%1)").arg(stale);
    // A style sheet set again re-polishes the label: only when the text changes.
    if (presence->text() == text)
        return;
    presence->setText(text);
    presence->setStyleSheet(present && stale.isEmpty()
            ? QStringLiteral("background: #2e8b57; color: white; font-weight: bold; padding: 4px")
            : present ? QStringLiteral(
                  "background: #c8d8cc; color: #606060; font-weight: bold; padding: 4px")
                      : QStringLiteral("background: #e0e0e0; color: #505050; padding: 4px"));
}

void RadarViewWindow::showTracking(bool passesChanged)
{
    const RadarTracking &tracking = picture->tracking();
    showPresence();
    const TrackerSettings &gate = tracking.settings;
    QString gateText = QStringLiteral("moving at %1 m/s or more").arg(gate.presenceMinSpeedMps);
    const bool farLimit = gate.presenceMaxRangeM < 1e8;
    if (gate.presenceMinRangeM > 0.0 && farLimit)
        gateText += QStringLiteral(", %1 to %2 m")
                        .arg(gate.presenceMinRangeM)
                        .arg(gate.presenceMaxRangeM);
    else if (gate.presenceMinRangeM > 0.0)
        gateText += QStringLiteral(", beyond %1 m").arg(gate.presenceMinRangeM);
    else if (farLimit)
        gateText += QStringLiteral(", within %1 m").arg(gate.presenceMaxRangeM);
    gateText += QStringLiteral("; held %1 s").arg(gate.presenceHoldSeconds);
    if (std::isfinite(tracking.presenceChangedAt))
        gateText += QStringLiteral("; changed at %1 s").arg(tracking.presenceChangedAt, 0, 'f', 1);
    if (presenceGate->text() != gateText)
        presenceGate->setText(gateText);
    if (!passesChanged && passTable->rowCount() > 0)
        return;
    const PassSummary summary = summarisePasses(tracking.passes);
    // On an alternating board one object makes a pass in each mode: the count, the percentile
    // and the list are of the mode the summary takes (CW when there are CW passes).
    QString text = summary.count == 0 ? QStringLiteral("no passes yet")
                                      : QStringLiteral("%1 %2 (%3), 85th percentile %4 m/s")
                                            .arg(summary.count)
                                            .arg(summary.count == 1 ? QStringLiteral("pass") : QStringLiteral("passes"))
                                            .arg(summary.mode ? QStringLiteral("FMCW") : QStringLiteral("CW"))
                                            .arg(summary.speed85Mps, 0, 'f', 2);
    if (tracking.passCount > int64_t(tracking.passes.size()))
        text += QStringLiteral(" of the last %1 kept (%2 in all, both modes)")
                    .arg(tracking.passes.size())
                    .arg(tracking.passCount);
    passSummary->setText(text);
    std::vector<const TrackPass *> shown;
    for (auto pass = tracking.passes.rbegin();
         pass != tracking.passes.rend() && int(shown.size()) < kPassRowsShown; ++pass)
        if (pass->mode == summary.mode)
            shown.push_back(&*pass);
    const int rows = int(shown.size());
    passTable->setRowCount(rows);
    // The nearest range only where a pass has one (FMCW, or CW tied to it).
    passTable->setColumnHidden(3, std::none_of(shown.begin(), shown.end(),
        [](const TrackPass *pass) { return std::isfinite(pass->minRangeM); }));
    for (int row = 0; row < rows; ++row) {
        const TrackPass &pass = *shown[size_t(row)];
        const QString cells[] = {QString::number(pass.startSeconds, 'f', 1),
            QString::number(pass.maxSpeedMps, 'f', 2),
            QLatin1String(pass.directionName()),
            std::isfinite(pass.minRangeM) ? QString::number(pass.minRangeM, 'f', 1) : QString()};
        for (int column = 0; column < 4; ++column) {
            QTableWidgetItem *item = passTable->item(row, column);
            if (!item) {
                item = new QTableWidgetItem;
                passTable->setItem(row, column, item);
            }
            item->setText(cells[column]);
        }
    }
}

void RadarViewWindow::checkStale()
{
    QString why;
    if (picture->pane(0).seen || picture->pane(1).seen) {
        if (!linkOpen)
            why = QStringLiteral("line lost");
        else if (!paused && sinceFrame.isValid() && sinceFrame.elapsed() >= kStaleMs)
            why = QStringLiteral("stale, %1 s").arg(sinceFrame.elapsed() / 1000);
    }
    picture->setStale(why);
    showPresence();
    if (why.isEmpty() && !isDraining())
        staleTimer.stop();
}

bool RadarViewWindow::startTargetLog(const QString &path, QString *error)
{
    stopTargetLog();
    targetLog.setFileName(path);
    if (!targetLog.open(QIODevice::WriteOnly | QIODevice::Append)
        || (targetLog.size() == 0 && targetLog.write(targetsCsvHeader()) < 0)) {
        *error
            = QStringLiteral("cannot log the targets to %1: %2").arg(path, targetLog.errorString());
        targetLog.close();
        return false;
    }
    // From now on: what the tap logged before is not this log's.
    std::vector<RadarTargetRow> before;
    logCursor = 0;
    tap.takeTargets(&logCursor, before);
    logRows = logLost = 0;
    logTimer.start();
    const QSignalBlocker quiet(logCheck);
    logCheck->setChecked(true);
    say(QStringLiteral("Logging the targets to %1").arg(path));
    return true;
}

void RadarViewWindow::flushTargetLog()
{
    if (!targetLog.isOpen())
        return;
    std::vector<RadarTargetRow> rows;
    logLost += tap.takeTargets(&logCursor, rows);
    if (rows.empty())
        return;
    if (targetLog.write(targetsCsvRows(rows)) < 0 || !targetLog.flush()) {
        const QString problem
            = QStringLiteral("cannot write the targets log %1: %2; logging stopped")
                  .arg(targetLog.fileName(), targetLog.errorString());
        targetLog.close();
        logTimer.stop();
        const QSignalBlocker quiet(logCheck);
        logCheck->setChecked(false);
        say(problem);
        return;
    }
    logRows += int64_t(rows.size());
}

void RadarViewWindow::stopTargetLog()
{
    if (!targetLog.isOpen())
        return;
    flushTargetLog();
    logTimer.stop();
    if (!targetLog.isOpen())
        return; // the last batch failed, and said so
    targetLog.close();
    const QSignalBlocker quiet(logCheck);
    logCheck->setChecked(false);
    say(QStringLiteral("Target log closed: %1 rows in %2%3")
            .arg(logRows)
            .arg(targetLog.fileName())
            .arg(logLost ? QStringLiteral(" (%1 lost: the view fell behind)").arg(logLost)
                         : QString()));
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

void RadarViewWindow::presenceGateChanged()
{
    TrackerSettings tracking;
    tracking.presenceMinSpeedMps = presenceSpeed->value();
    tracking.presenceMinRangeM = presenceFrom->value();
    tracking.presenceMaxRangeM = presenceTo->value() > 0.0 ? presenceTo->value() : 1e9;
    tracking.presenceHoldSeconds = presenceHold->value();
    if (tracking.presenceMaxRangeM <= tracking.presenceMinRangeM) {
        say(QStringLiteral("presence: the range to (%1 m) must lie beyond the range from (%2 m); "
                           "the gate stays as it was")
                .arg(tracking.presenceMaxRangeM)
                .arg(tracking.presenceMinRangeM));
        return;
    }
    tap.configureTracker(tracking);
}

QString RadarViewWindow::readoutText() const
{
    QStringList parts;
    for (int mode = 0; mode < 2; ++mode) {
        const RadarPlot::Pane &pane = picture->pane(mode);
        if (!pane.seen)
            continue;
        QString text = ::readoutText(pane.analysis).replace('\n', QStringLiteral("; "));
        if (mode == 0 && !picture->tiedLine().isEmpty())
            text = picture->tiedLine() + QStringLiteral("; ") + text;
        parts << (mode ? QStringLiteral("FMCW: ") : QStringLiteral("CW: ")) + text;
    }
    if (!parts.isEmpty() && !picture->staleNote().isEmpty())
        parts << QStringLiteral("(%1)").arg(picture->staleNote());
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
        const LinkStatus status = attachedPort->status();
        // A link that opened while the window was closed is one the tap never heard open: what
        // it holds is of the link before.
        if (seenLink >= 0 && status.link != seenLink)
            tap.restartForNewLink();
        seenLink = status.link;
        attachedPort->addTap(&tap);
        tapConnected = true;
        linkOpen = status.open;
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
    if (open && attachedPort)
        seenLink = attachedPort->status().link;
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
        linkNote = text;
    }
    if (!paused)
        drain();
    updateTimer();
    checkStale(); // after the last frames are taken: "line lost" stays
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
        pane.frame = latest[mode].frame;
        pane.seconds = latest[mode].seconds;
    }
    if (changed) {
        sinceFrame.start();
        if (linkOpen && !picture->staleNote().isEmpty())
            picture->setStale(QString());
        if (!staleTimer.isActive())
            staleTimer.start();
    }
    if (tap.takeVitals(vitalsView))
        microMotion->setSnapshot(vitalsView);
    const int64_t generation = picture->tracking().generation;
    const int64_t passes = picture->tracking().passCount;
    if (tap.takeTracking(picture->tracking())) {
        const RadarTracking &tracking = picture->tracking();
        const bool restarted = generation >= 0 && tracking.generation != generation;
        if (restarted && tracking.restart != RadarRestart::None) {
            const QString why = tracking.restart == RadarRestart::NewLink
                ? QStringLiteral("new link: tracks start afresh")
                : QStringLiteral("time went back: tracks start afresh");
            say(linkNote.isEmpty() ? why : linkNote + QStringLiteral("; ") + why);
        }
        linkNote.clear();
        showTracking(restarted || tracking.passCount != passes);
        // A track of either mode may have ended: both track plots, not both spectra.
        if (changed != 3)
            picture->refreshTracks();
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
    stopTargetLog();
    staleTimer.stop();
    disconnectTap();
    updateTimer();
}
