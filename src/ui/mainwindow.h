// SPDX-License-Identifier: MIT
// The program's main window: port list, connect control, modulation label and the two live charts.
// What is built around it (the status bar's account of the link, replays, recording, the pause,
// the charts' menu and the views beside the window) attaches through the hooks below and lives in
// classes of its own; without them the window is the described window alone.
#pragma once

#include "frame.h"
#include "serialport.h"

#include "chartscompat.h"
#include <QList>
#include <QMainWindow>

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

class ByteSource;
class PortList;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Puts `name` (a device path or a port as listed) at the top of the port list and selects it.
    void addPort(const QString &name);
    // As a click on "connect" with the port selected.
    void connectSelected();

    // Hooks for what is built around the window.
    SerialPort *link() const { return serialPort; }
    // The port or file the window has open; empty when none.
    QString openLinkName() const { return connectedPort; }
    QString selectedPort() const;
    QList<QtCharts::QChartView *> chartViews() const;
    // As "disconnect" (the link ends without a message); nothing when no link is open.
    void closeLink();
    // Opens `source` (listed under its own name) in place of a port; the connect button waits
    // for the outcome as for a port.
    void openSource(std::unique_ptr<ByteSource> source);
    // Asked first when the user connects to `name`: true when it took the name itself (a
    // recording to replay), and then the window opens no port.
    void setOpener(std::function<bool(const QString &name)> opener)
    {
        this->opener = std::move(opener);
    }
    // Asked for every frame of the open link before the charts show it: false holds it back.
    void setFrameGate(std::function<bool(const frame_t &, const FrameIdentity &)> gate)
    {
        frameGate = std::move(gate);
    }
    // Puts `frame` on the charts and the modulation label.
    void showFrame(const frame_t &frame, const FrameIdentity &identity);

signals:
    // A port or a source is about to open: what wants the link's first frame listens now.
    void signalLinkOpening();
    void signalLinkOpened();
    // The port would not open; the window says so in its box.
    void signalLinkRefused();
    // `message` says how the link ended (empty when the user ended it); a `problem` stays on show
    // until the next action, `detail` is the system's own words.
    void signalLinkEnded(const QString &message, bool problem, const QString &detail);
    // Every frame of the open link reached the window, shown or held back; `index` counts the
    // link's frames.
    void signalFrameArrived(const FrameIdentity &identity);
    void signalFrameShown(const frame_t &frame, const FrameIdentity &identity);
    // The user acts on the window (a click on connect): a problem on show has been read.
    void signalUserActed();
    // The window is about to go: whatever is attached lets go of the link now. The link is
    // closed right after, as on "disconnect".
    void signalClosingDown();

public slots:
    void slot_serialPort_error();
    void slot_serialPort_success();
    void slot_receive_frame(frame_t frame);

private slots:
    void on_pushButton_Connect_clicked();

private:
    void buildRawDataChart();
    void buildSpectrumChart();
    void onLineLost(const QString &reason, const QString &systemWords);
    void onReplayFinished();
    void endLink(const QString &message, bool problem = false, const QString &detail = QString());

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

    QString connectedPort; // the port or file open now; empty when none
    PortList *portList;
    std::function<bool(const QString &)> opener;
    std::function<bool(const frame_t &, const FrameIdentity &)> frameGate;
};
