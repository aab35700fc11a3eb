// SPDX-License-Identifier: MIT
// The windows beside the main window: the spectrum history and the radar view. Each is made when
// first asked for, takes every frame the worker decodes for as long as it is open, and follows the
// display's pause.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>

class MainWindow;
class RadarViewWindow;
class SpectrumHistoryWindow;

class ViewsBeside : public QObject {
    Q_OBJECT

public:
    explicit ViewsBeside(MainWindow *window);

    void showSpectrumHistory();
    // Null where the radar view is not built.
    RadarViewWindow *showRadarView();
    void setPaused(bool paused);
    // The radar view's profile in force as JSON; empty when there is none.
    QByteArray radarProfileJson() const;
    // The views go (before the link they watch).
    void closeAll();

private:
    MainWindow *window;
    bool paused = false;
    QPointer<SpectrumHistoryWindow> history;
    QPointer<RadarViewWindow> radarView;
};
