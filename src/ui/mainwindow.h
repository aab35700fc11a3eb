// SPDX-License-Identifier: MIT
// The program's only window: port list, connect control, modulation label and the two live charts.
#pragma once

#include "frame.h"

#include <QMainWindow>
#include <QTimer>
#include <QtCharts/QChartGlobal>

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

class PortList;
class SerialPort;
class StatusLine;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

public slots:
    void slot_serialPort_error();
    void slot_serialPort_success();
    void slot_receive_frame(frame_t frame);

private slots:
    void on_pushButton_Connect_clicked();

private:
    void buildRawDataChart();
    void buildSpectrumChart();
    void onLineLost(const QString &reason);
    void showLinkStatus();

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
    QTimer statusTimer;
};
