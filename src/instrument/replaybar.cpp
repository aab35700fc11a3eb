// SPDX-License-Identifier: MIT
#include "replaybar.h"

#include "frameindex.h"
#include "serialport.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QShortcut>
#include <QSlider>
#include <QSpinBox>
#include <QToolButton>

#include <algorithm>
#include <cmath>
#include <limits>

ReplayBar::ReplayBar(SerialPort *port, std::shared_ptr<const FrameIndex> frameIndex,
    const QString &rate, QWidget *window)
    : QToolBar(QStringLiteral("Replay"), window)
    , port(port)
    , index(std::move(frameIndex))
{
    setObjectName("toolBar_Replay");
    setMovable(false);

    const auto button = [this](const char *name, const QString &text, const QString &tip) {
        auto *tool = new QToolButton(this);
        tool->setObjectName(name);
        tool->setText(text);
        tool->setToolTip(tip);
        addWidget(tool);
        return tool;
    };
    QToolButton *back = button(
        "toolButton_StepBack", QStringLiteral("\u25C0|"), QStringLiteral("One frame back (Left)"));
    playButton = button("toolButton_Play", QString(), QString());
    QToolButton *forward = button("toolButton_StepForward", QStringLiteral("|\u25B6"),
        QStringLiteral("One frame forward (Right)"));
    connect(back, &QToolButton::clicked, this, &ReplayBar::stepBack);
    connect(playButton, &QToolButton::clicked, this, &ReplayBar::togglePlay);
    connect(forward, &QToolButton::clicked, this, &ReplayBar::stepForward);

    slider = new QSlider(Qt::Horizontal, this);
    slider->setObjectName("slider_Replay");
    slider->setRange(0, 0);
    slider->setToolTip(QStringLiteral("The whole recording (Home, End)"));
    slider->setMinimumWidth(200);
    addWidget(slider);
    // A drag moves the replay as it goes; so do clicks beside the handle.
    connect(slider, &QSlider::sliderMoved, this, [this](int value) {
        if (value != current)
            goToFrame(value);
    });
    connect(slider, &QSlider::actionTriggered, this, [this](int action) {
        if (action != QAbstractSlider::SliderMove && action != QAbstractSlider::SliderNoAction)
            goToFrame(slider->sliderPosition());
    });

    addWidget(new QLabel(QStringLiteral(" frame "), this));
    frameBox = new QSpinBox(this);
    frameBox->setObjectName("spinBox_Frame");
    frameBox->setRange(0, 0);
    frameBox->setKeyboardTracking(false);
    addWidget(frameBox);
    connect(frameBox, QOverload<int>::of(&QSpinBox::valueChanged), this, [this](int value) {
        editFinished(frameBox);
        if (value != current)
            goToFrame(value);
    });
    addWidget(new QLabel(QStringLiteral(" s "), this));
    timeBox = new QDoubleSpinBox(this);
    timeBox->setObjectName("doubleSpinBox_Time");
    timeBox->setDecimals(3);
    timeBox->setRange(0, 0);
    timeBox->setKeyboardTracking(false);
    addWidget(timeBox);
    connect(timeBox, &QDoubleSpinBox::editingFinished, this, [this] {
        editFinished(timeBox);
        goToSeconds(timeBox->value());
    });

    where = new QLabel(this);
    where->setObjectName("label_ReplayPosition");
    addWidget(where);

    rateBox = new QComboBox(this);
    rateBox->setObjectName("comboBox_Rate");
    rateBox->addItem(QStringLiteral("as recorded"), 0.0);
    for (double perSecond : {1.0, 5.0, 25.0})
        rateBox->addItem(QStringLiteral("%1 frames/s").arg(perSecond), perSecond);
    rateBox->addItem(QStringLiteral("max"), std::numeric_limits<double>::infinity());
    bool isNumber = false;
    const double asked = rate.toDouble(&isNumber);
    if (rate == QLatin1String("max")) {
        rateBox->setCurrentIndex(rateBox->count() - 1);
    } else if (isNumber) {
        if (rateBox->findData(asked) < 0)
            rateBox->addItem(QStringLiteral("%1 frames/s").arg(asked), asked);
        rateBox->setCurrentIndex(rateBox->findData(asked));
    }
    rateBox->setToolTip(QStringLiteral("The replay's pace"));
    addWidget(rateBox);
    connect(
        rateBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &ReplayBar::rateChosen);

    const auto key = [this, window](Qt::Key keyCode, void (ReplayBar::*act)()) {
        auto *shortcut = new QShortcut(QKeySequence(keyCode), window);
        connect(shortcut, &QShortcut::activated, this, act);
        connect(this, &QObject::destroyed, shortcut, &QObject::deleteLater);
    };
    key(Qt::Key_Space, &ReplayBar::togglePlay);
    key(Qt::Key_Left, &ReplayBar::stepBack);
    key(Qt::Key_Right, &ReplayBar::stepForward);
    key(Qt::Key_Home, &ReplayBar::goToStart);
    key(Qt::Key_End, &ReplayBar::goToEnd);
    movers = {back, forward, slider, frameBox, timeBox};
    // A focused box would take Home and End for its text cursor: they move the replay instead.
    frameBox->installEventFilter(this);
    timeBox->installEventFilter(this);
    setPlaying(true);
    connect(&indexTimer, &QTimer::timeout, this, &ReplayBar::checkIndex);
    checkIndex();
}

ReplayBar::~ReplayBar()
{
    // Its boxes go after it: a focused one that loses its focus says its editing finished, and
    // that must not reach a bar already half gone.
    for (QObject *child : children())
        child->disconnect(this);
}

void ReplayBar::checkIndex()
{
    if (!index->isReady()) {
        for (QWidget *mover : movers)
            mover->setEnabled(false);
        where->setText(QStringLiteral(" indexing\u2026 %1 %").arg(index->percent()));
        indexTimer.start(100);
        return;
    }
    indexTimer.stop();
    times = index->times();
    const int last = int(std::max<size_t>(times.size(), 1) - 1);
    slider->setRange(0, last);
    frameBox->setRange(0, last);
    timeBox->setRange(0, times.empty() ? 0 : std::max(0.0, times.back()));
    for (QWidget *mover : movers)
        mover->setEnabled(true);
    current = std::min<int64_t>(current, last);
    showWhere();
}

void ReplayBar::setPlaying(bool play)
{
    playing = play;
    playButton->setText(play ? QStringLiteral("Pause") : QStringLiteral("Play"));
    playButton->setToolTip(play ? QStringLiteral("Hold the replay (Space)")
                                : QStringLiteral("Play on from here (Space)"));
}

void ReplayBar::togglePlay()
{
    if (playing) {
        port->moveReplay(-1, false);
        setPlaying(false);
        return;
    }
    // Played to its last frame: play starts over. (Before the index is whole, play goes on.)
    if (times.empty())
        port->moveReplay(-1, true);
    else if (current >= int64_t(times.size()) - 1)
        port->moveReplay(0, true);
    else
        port->moveReplay(current + 1, true);
    setPlaying(true);
}

void ReplayBar::stepBack()
{
    goToFrame(std::max<int64_t>(current - 1, 0));
}

void ReplayBar::stepForward()
{
    goToFrame(current + 1);
}

bool ReplayBar::eventFilter(QObject *watched, QEvent *event)
{
    // Left unaccepted, the override lets the window's shortcut have the key.
    if (event->type() == QEvent::ShortcutOverride) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() == Qt::Key_Home || key->key() == Qt::Key_End)
            && key->modifiers() == Qt::NoModifier)
            return true;
    }
    return QToolBar::eventFilter(watched, event);
}

bool ReplayBar::isBeingEdited(QAbstractSpinBox *box) const
{
    const auto *edit = box->findChild<QLineEdit *>();
    return edit && edit->isModified();
}

void ReplayBar::editFinished(QAbstractSpinBox *box)
{
    if (auto *edit = box->findChild<QLineEdit *>())
        edit->setModified(false);
}

void ReplayBar::goToStart()
{
    // A move asked for by key ends what was being typed in the boxes.
    editFinished(frameBox);
    editFinished(timeBox);
    goToFrame(0);
}

void ReplayBar::goToEnd()
{
    editFinished(frameBox);
    editFinished(timeBox);
    goToFrame(int64_t(times.size()) - 1);
}

void ReplayBar::goToFrame(int64_t frame)
{
    if (times.empty())
        return;
    current = std::clamp<int64_t>(frame, 0, int64_t(times.size()) - 1);
    port->moveReplay(current, false);
    setPlaying(false);
    showWhere();
}

void ReplayBar::goToSeconds(double seconds)
{
    const auto after = std::upper_bound(times.begin(), times.end(), seconds);
    goToFrame(std::max<int64_t>(int64_t(after - times.begin()) - 1, 0));
}

void ReplayBar::rateChosen(int index)
{
    port->setReplayFramesPerSecond(rateBox->itemData(index).toDouble());
}

void ReplayBar::showPosition(int64_t frame)
{
    if (playing && frame >= 0 && times.empty()) {
        current = frame; // shown once the index is whole
    } else if (playing && frame >= 0 && frame < int64_t(times.size())) {
        current = frame;
        showWhere();
    }
}

void ReplayBar::showWhere()
{
    const int64_t frame = std::max<int64_t>(current, 0);
    const QSignalBlocker quietSlider(slider);
    const QSignalBlocker quietFrame(frameBox);
    if (!slider->isSliderDown())
        slider->setValue(int(frame));
    if (!isBeingEdited(frameBox)) {
        frameBox->setValue(int(frame));
        editFinished(frameBox);
    }
    if (!isBeingEdited(timeBox) && !times.empty()) {
        timeBox->setValue(times[size_t(frame)]);
        editFinished(timeBox);
    }
    // The position is in the boxes, numbered as the csv's frame column (from 0); this says the
    // whole.
    where->setText(QStringLiteral(" of %1 frames, %2 s")
                       .arg(times.size())
                       .arg(times.empty() ? 0.0 : times.back(), 0, 'f', 3));
}
