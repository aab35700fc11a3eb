// SPDX-License-Identifier: MIT
// Replays in the window: a raw capture, a line dump or a recording played as if it came from the
// board, listed in the port list under its path so that "connect" plays it again. A recording
// that can be moved through gets the replay bar under the charts while it plays.
#pragma once

#include "serialport.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

class MainWindow;
class ReplayBar;

class ReplayControl : public QObject {
    Q_OBJECT

public:
    explicit ReplayControl(MainWindow *window);

    // Plays `path` at the line's pace ("line"), at a number of frames a second, or as fast as it is
    // taken ("max"). False with *error set when the file cannot be played; the window is then as
    // before.
    bool start(const QString &path, const QString &rate, bool loop, QString *error);
    ReplayBar *bar() const { return replayBar; }

signals:
    // A listed replay chosen with "connect" could not start.
    void problem(const QString &message);

private:
    bool open(const QString &name);
    void linkEnded();
    void frameArrived(const FrameIdentity &identity);

    struct Replay {
        QString rate;
        bool loop = false;
    };
    MainWindow *window;
    QHash<QString, Replay> replays; // port list items that are recordings to play
    QPointer<ReplayBar> replayBar; // while a recording that can be moved through plays
};
