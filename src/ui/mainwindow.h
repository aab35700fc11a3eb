// SPDX-License-Identifier: MIT
// The program's main window: port list, connect control, modulation label and the two live charts.
// Beyond that fixed look, and without changing it: a context menu on the charts (pause, save,
// record, spectrum history), the link's health in the status bar while a link is open, and the
// command line's requests (a port, a replay, a recording).
#pragma once

#include "frame.h"
#include "serialport.h"

#include <QByteArray>
#include <QHash>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include "chartscompat.h"

#include <functional>
#include <memory>

QT_CHARTS_BEGIN_NAMESPACE
class QChart;
class QChartView;
class QLineSeries;
class QScatterSeries;
class QValueAxis;
QT_CHARTS_END_NAMESPACE

namespace Ui {
class MainWindow;
}

class FrameRecorder;
class PortList;
class ReplayBar;
class RadarViewWindow;
class QAction;
class QMenu;
class SpectrumHistoryWindow;
class StatusLine;
class StatusReport;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Puts `name` (a device path or a port as listed) at the top of the port list and selects it.
    void addPort(const QString &name);
    // As a click on "connect" with the port selected.
    void connectSelected();
    // Plays a raw capture or a line dump in the window, at the line's pace ("line"), at a number of
    // frames a second, or as fast as it is taken ("max"). False with *error set when the file cannot
    // be played; the window is then as before.
    bool startReplay(const QString &path, const QString &rate, bool loop, QString *error);
    // Records every frame of the open link to `path` (csv, jsonl or raw; `format` empty: from the
    // extension), or of the next link to open. False with *error when it cannot start.
    bool startRecording(const QString &path, const QString &format, QString *error);
    // Words kept with the recordings that start from now on (an h5 file's note attribute).
    void setRecordingNote(const QString &note) { recordingUserNote = note; }
    void stopRecording();
    void setDisplayPaused(bool paused);
    bool isDisplayPaused() const { return paused; }
    // Opens the spectrum history beside the window; it takes every frame the worker decodes.
    void showSpectrumHistory();
    // Opens the radar view beside the window (null where it is not built).
    RadarViewWindow *showRadarView();
    // Writes the window, or one chart, as PNG.
    bool savePicture(const QString &path, QWidget *what, QString *error);
    // Writes the frame on the charts as csv, with the capture's columns.
    bool saveShownFrame(const QString &path, QString *error);
    // Says something in the status bar for a few seconds, over the link's figures.
    void tell(const QString &message);
    // Says what went wrong in the status bar, until the user's next action.
    void warn(const QString &problem);

public slots:
    void slot_serialPort_error();
    void slot_serialPort_success();
    void slot_receive_frame(frame_t frame);

private slots:
    void on_pushButton_Connect_clicked();

private:
    void buildRawDataChart();
    void buildSpectrumChart();
    void showFrame(const frame_t &frame);
    void onLineLost(const QString &reason, const QString &systemWords);
    void onReplayFinished();
    // `message` says how the link ended; a `problem` stays until the next action.
    void linkEnded(const QString &message, bool problem = false, const QString &detail = QString());
    void showLinkStatus();
    void buildChartMenu();
    void openChartMenu(QtCharts::QChartView *view, const QPoint &position);
    // `suffix` goes on a name without one; empty: the extension of the type chosen (see chosentype.h).
    void askForFile(const QString &title, const QString &filter, const QString &suffix,
                    const std::function<void(const QString &)> &use);
    bool beginRecording(double linkSeconds, QString *error);
    void prepareRecording();
    void askForNote(const std::function<void()> &then);
    // Ends the recording, if one runs, and says how it ended.
    QString endRecording();

    Ui::MainWindow *ui;
    SerialPort *serialPort;
    QtCharts::QChart *chart_RawData;
    QtCharts::QLineSeries *series_I;
    QtCharts::QLineSeries *series_Q;
    QtCharts::QChartView *chartView_RawData;
    QtCharts::QValueAxis *axisX_RawData;
    QtCharts::QValueAxis *axisY_RawData;
    QtCharts::QChart *chart_FFT;
    QtCharts::QLineSeries *lineSeries_FFT;
    QtCharts::QScatterSeries *scatterSeries_FFT;
    QtCharts::QChartView *chartView_FFT;
    QtCharts::QValueAxis *axisX_FFT;
    QtCharts::QValueAxis *axisY_FFT;

    // Beyond the fixed window: the port the window has open (empty when none), the port list kept
    // current, and the link's health in the status bar while connected.
    QString connectedPort;
    PortList *portList;
    StatusLine *statusLine;
    StatusReport *statusReport;
    QTimer statusTimer;

    struct Replay
    {
        QString rate;
        bool loop = false;
    };
    QHash<QString, Replay> replays; // port list items that are recordings to play
    QPointer<ReplayBar> replayBar; // while a recording that can be moved through plays

    QMenu *chartMenu;
    QAction *action_Pause;
    QAction *action_SavePicture;
    QAction *action_SaveChartPicture;
    QAction *action_SaveFrame;
    QAction *action_Record;
    QAction *action_History;
    QtCharts::QChartView *menuView = nullptr; // the chart the menu was opened on

    bool paused = false;
    int64_t arrivedWhilePaused = 0;
    bool holding = false; // a frame arrived while paused and waits for the resume
    frame_t heldFrame;
    FrameIdentity heldIdentity;
    frame_t shownFrame;
    FrameIdentity shownIdentity; // its bytes, link, index and time

    QString recordingPath;   // asked for; empty when no recording is wanted
    QString recordingFormat;
    QString recordingUserNote;
    std::unique_ptr<FrameRecorder> recorder;
    QString recordingNote;   // how the last recording ended
    bool recordingFailed = false;
    QPointer<SpectrumHistoryWindow> history;
    QPointer<RadarViewWindow> radarView;
};
