// SPDX-License-Identifier: MIT
// The strip under the charts while a recording that can be moved through is replayed: play and
// pause, a frame back or forward, a slider over the whole file, a frame number or a time to jump
// to, and the pace. Keyboard: space, left, right, Home, End. A move holds the replay on the frame
// moved to, which the charts then show; play goes on from there.
#pragma once

#include <QToolBar>

#include <cstdint>
#include <vector>

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
    // `times`: every frame's time in the recording; `rate` as --rate gives it (line, max or
    // frames per second). The bar moves `port`'s replay; the keys work anywhere in `window`.
    ReplayBar(SerialPort *port, std::vector<double> times, const QString &rate, QWidget *window);

    // The frame the window shows now (its index in the recording).
    void showPosition(int64_t frame);
    bool isPlaying() const { return playing; }
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

private:
    void setPlaying(bool play);
    void showWhere();
    void rateChosen(int index);

    SerialPort *port;
    std::vector<double> times;
    int64_t current = -1;
    bool playing = true;
    QToolButton *playButton;
    QSlider *slider;
    QSpinBox *frameBox;
    QDoubleSpinBox *timeBox;
    QComboBox *rateBox;
    QLabel *where;
};
