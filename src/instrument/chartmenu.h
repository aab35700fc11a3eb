// SPDX-License-Identifier: MIT
// The charts' context menu (right click on either chart): pause, save the window's or the chart's
// picture, save the shown frame, start or stop a recording, start or stop publishing, and open the
// views beside the window. Its dialogs are window-modal and do not block: the charts go on updating
// behind them.
#pragma once

#include "chartscompat.h"

#include <QObject>

#include <functional>

QT_CHARTS_BEGIN_NAMESPACE
class QChartView;
QT_CHARTS_END_NAMESPACE

class LabInstrument;
class MainWindow;
class QAction;
class QMenu;

class ChartMenu : public QObject {
    Q_OBJECT

public:
    ChartMenu(MainWindow *window, LabInstrument *instrument);

    // Writes `what` (the window, or one chart) as PNG.
    static bool savePicture(const QString &path, QWidget *what, QString *error);

private:
    void build();
    void open(QtCharts::QChartView *view, const QPoint &position);
    // `suffix` goes on a name without one; empty: the extension of the type chosen (see
    // chosentype.h).
    void askForFile(const QString &title, const QString &filter, const QString &suffix,
        const std::function<void(const QString &)> &use);
    void askForNote(const std::function<void()> &then);
    void record();
    // Asks for the endpoint (`note` says what was wrong with the last answer), then publishes.
    void askForEndpoint(const QString &note = QString());

    MainWindow *window;
    LabInstrument *instrument;
    QMenu *menu;
    QAction *action_Pause;
    QAction *action_Record;
    QAction *action_Publish;
    QString lastEndpoint;
    QtCharts::QChartView *menuView = nullptr; // the chart the menu was opened on
};
