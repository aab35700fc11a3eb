// SPDX-License-Identifier: MIT
// The strip under the charts while a recording that can be moved through is replayed: play and
// pause, a frame back or forward, a slider over the whole file, a frame number or a time to jump
// to, and the pace. Keyboard: space, left, right, Home, End. A move holds the replay on the frame
// moved to, which the charts then show; play goes on from there. While the replay still indexes a
// long file the bar says how far it has got, and it moves through the frames once the index is
// whole; play and pause work from the start.
#pragma once

#include <QTimer>
#include <QToolBar>

#include <cstdint>
#include <memory>
#include <vector>

class FrameIndex;
class QAbstractSpinBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QSlider;
class QSpinBox;
class QToolButton;
class SerialPort;

class ReplayBar : public QToolBar {
    Q_OBJECT

public:
    // `index`: the replay's frame index, every frame's time in the recording once it is whole;
    // `rate` as --rate gives it (line, max or frames per second). The bar moves `port`'s replay;
    // the keys work anywhere in `window`.
    ReplayBar(SerialPort *port, std::shared_ptr<const FrameIndex> index, const QString &rate,
        QWidget *window);
    ~ReplayBar() override;

    // The frame the window shows now (its index in the recording).
    void showPosition(int64_t frame);
    bool isPlaying() const { return playing; }
    // The index is whole: the bar moves through the frames.
    bool canMove() const { return !times.empty(); }
    std::shared_ptr<const FrameIndex> frameIndex() const { return index; }
    int64_t position() const { return current; }

public slots:
    void togglePlay();
    void stepBack();
    void stepForward();
    void goToStart();
    void goToEnd();
    // Holds the replay on `frame` (clamped to the recording), which is shown next.
    void goToFrame(int64_t frame);
    // The last frame at or before `seconds` of the recording.
    void goToSeconds(double seconds);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setPlaying(bool play);
    void showWhere();
    // The frame and time boxes follow the frame shown, focused or not, unless the user has typed
    // into one since it was last written: what they are typing stays until they finish it.
    bool isBeingEdited(QAbstractSpinBox *box) const;
    void editFinished(QAbstractSpinBox *box);
    void rateChosen(int index);
    // Shows how far the index has got, and takes its times once it is whole.
    void checkIndex();

    SerialPort *port;
    std::shared_ptr<const FrameIndex> index;
    QTimer indexTimer;
    std::vector<double> times; // empty until the index is whole
    int64_t current = -1;
    bool playing = true;
    QToolButton *playButton;
    QSlider *slider;
    QSpinBox *frameBox;
    QDoubleSpinBox *timeBox;
    QComboBox *rateBox;
    QLabel *where;
    QList<QWidget *> movers; // what moves through the frames: enabled with the index
};
