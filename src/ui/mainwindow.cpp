// SPDX-License-Identifier: MIT
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "bytesource.h"
#include "chartpainting.h"
#include "linesettings.h"
#include "portlist.h"
#include "serialport.h"

#include <QMessageBox>
#include <QSerialPortInfo>
#include <QStringList>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

// The charts attach their axes with the per-series setAxisX/setAxisY calls, which replace the
// default axes one by one; those calls are deprecated in Qt 5.12 but do exactly that.
QT_WARNING_DISABLE_DEPRECATED

using namespace QtCharts;

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    ui->setupUi(this);

    // Needed before any connection that names the type: queued delivery copies through it.
    registerFrameMetaType();

    QStringList portNames;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        portNames.append(port.portName());
    ui->comboBox_PortList->insertItems(ui->comboBox_PortList->count(), portNames);

    serialPort = new SerialPort();
    connect(serialPort, SIGNAL(signalComPortFailure()), this, SLOT(slot_serialPort_error()));
    connect(serialPort, SIGNAL(signalComPortReady()), this, SLOT(slot_serialPort_success()));
    connect(serialPort, SIGNAL(signalFrame(frame_t)), this, SLOT(slot_receive_frame(frame_t)));

    buildRawDataChart();
    buildSpectrumChart();

    // A board faster than the screen: the worker keeps at most one frame on its way here and the
    // newest waiting, so the charts never fall behind and nothing piles up.
    serialPort->setPacedDelivery(true);
    connect(serialPort, &SerialPort::signalComPortLost, this, &MainWindow::onLineLost);
    connect(serialPort, &SerialPort::signalReplayFinished, this, &MainWindow::onReplayFinished);
    portList = new PortList(ui->comboBox_PortList);
}

void MainWindow::buildRawDataChart()
{
    series_I = new QLineSeries();
    series_Q = new QLineSeries();
    series_I->setName("I");
    series_Q->setName("Q");

    chart_RawData = new QChart();
    chart_RawData->addSeries(series_I);
    chart_RawData->addSeries(series_Q);
    chart_RawData->setTitle("Raw Data");
    chart_RawData->setAnimationOptions(QChart::NoAnimation);

    axisX_RawData = new QValueAxis();
    axisY_RawData = new QValueAxis();
    axisY_RawData->setRange(0.0, 4096.0);
    axisY_RawData->setTitleText("digits");
    axisX_RawData->setRange(0.0, 128.0);
    axisX_RawData->setMinorTickCount(8);
    axisX_RawData->setLabelFormat("%g");
    axisX_RawData->setTitleText("Samples");

    chart_RawData->createDefaultAxes();
    chart_RawData->setAxisY(axisY_RawData, series_I);
    chart_RawData->setAxisX(axisX_RawData, series_I);
    chart_RawData->setAxisY(axisY_RawData, series_Q);
    chart_RawData->setAxisX(axisX_RawData, series_Q);

    ChartPainting::useCosmeticAxisPens(chart_RawData);
    chartView_RawData = new QChartView(chart_RawData);
    ChartPainting::tuneView(chartView_RawData);
    ui->gridLayout->addWidget(chartView_RawData, 1, 0, 1, 4);
}

void MainWindow::buildSpectrumChart()
{
    lineSeries_FFT = new QLineSeries();
    scatterSeries_FFT = new QScatterSeries();
    lineSeries_FFT->setColor(Qt::blue);
    scatterSeries_FFT->setMarkerShape(QScatterSeries::MarkerShapeCircle);
    scatterSeries_FFT->setColor(Qt::blue);
    scatterSeries_FFT->setMarkerSize(6.0);

    chart_FFT = new QChart();
    chart_FFT->addSeries(lineSeries_FFT);
    chart_FFT->addSeries(scatterSeries_FFT);
    chart_FFT->setAnimationOptions(QChart::NoAnimation);
    chart_FFT->legend()->hide();
    chart_FFT->setTitle("FFT");

    axisX_FFT = new QValueAxis();
    axisY_FFT = new QValueAxis();
    axisY_FFT->setRange(-35.0, 60.0);
    axisY_FFT->setTitleText("dB");
    axisY_FFT->setTickCount(6);
    axisY_FFT->setMinorTickCount(3);
    axisX_FFT->setRange(0.0, 64.0);
    axisX_FFT->setTickCount(17);
    axisX_FFT->setMinorTickCount(3);
    axisX_FFT->setLabelFormat("%g");
    axisX_FFT->setTitleText("Samples");

    chart_FFT->createDefaultAxes();
    chart_FFT->setAxisY(axisY_FFT, lineSeries_FFT);
    chart_FFT->setAxisX(axisX_FFT, lineSeries_FFT);
    chart_FFT->setAxisY(axisY_FFT, scatterSeries_FFT);
    chart_FFT->setAxisX(axisX_FFT, scatterSeries_FFT);

    ChartPainting::useCosmeticAxisPens(chart_FFT);
    chartView_FFT = new QChartView(chart_FFT);
    ChartPainting::tuneView(chartView_FFT);
    ui->gridLayout->addWidget(chartView_FFT, 2, 0, 1, 4);
}

MainWindow::~MainWindow()
{
    // What is attached lets go first (a recording ends whole with what the link had read); the
    // link then ends as on "disconnect".
    emit signalClosingDown();
    serialPort->closePort();
    // Each chart goes before its view; the scatter series and the axes belong to their chart.
    delete series_I;
    delete series_Q;
    delete chart_RawData;
    delete chartView_RawData;
    delete lineSeries_FFT;
    delete chart_FFT;
    delete chartView_FFT;
    delete serialPort;
    delete ui;
}

void MainWindow::on_pushButton_Connect_clicked()
{
    emit signalUserActed();
    if (ui->pushButton_Connect->text() == QLatin1String("connect")) {
        const QString name = ui->comboBox_PortList->currentText();
        if (opener && opener(name))
            return;
        ui->pushButton_Connect->setEnabled(false);
        emit signalLinkOpening();
        // The outcome slot runs before openPort returns and re-enables the button.
        serialPort->openPort(name, LineSettings::kBaudRate);
    } else {
        serialPort->closePort();
        ui->pushButton_Connect->setText("connect");
        endLink(QString());
    }
}

void MainWindow::closeLink()
{
    if (connectedPort.isEmpty())
        return;
    serialPort->closePort();
    ui->pushButton_Connect->setText("connect");
    endLink(QString());
}

void MainWindow::openSource(std::unique_ptr<ByteSource> source)
{
    closeLink();
    ui->pushButton_Connect->setEnabled(false);
    emit signalLinkOpening();
    serialPort->openSource(std::move(source));
}

void MainWindow::slot_serialPort_success()
{
    ui->pushButton_Connect->setText("disconnect");
    ui->pushButton_Connect->setEnabled(true);
    connectedPort = serialPort->status().name;
    emit signalLinkOpened();
}

void MainWindow::slot_serialPort_error()
{
    emit signalLinkRefused();
    QMessageBox box;
    box.setText("error initialising comport");
    // Which port, and why: a busy port, a missing one and one the user may not open (on Linux, a
    // user outside the dialout group) call for different remedies.
    const QString port = ui->comboBox_PortList->currentText();
    box.setInformativeText(QStringLiteral("%1: %2").arg(
        port.isEmpty() ? QStringLiteral("no port selected") : port, serialPort->openErrorString()));
    box.exec();
    ui->pushButton_Connect->setText("connect");
    ui->pushButton_Connect->setEnabled(true);
}

void MainWindow::onLineLost(const QString &reason, const QString &systemWords)
{
    // A loss reported after the user closed the port themselves has nothing left to undo.
    if (connectedPort.isEmpty())
        return;
    const QString port = connectedPort;
    ui->pushButton_Connect->setText("connect");
    ui->pushButton_Connect->setEnabled(true);
    endLink(QStringLiteral("The line to %1 was lost: %2").arg(port, reason), true, systemWords);
}

void MainWindow::onReplayFinished()
{
    if (connectedPort.isEmpty())
        return;
    const LinkStatus status = serialPort->status();
    ui->pushButton_Connect->setText("connect");
    ui->pushButton_Connect->setEnabled(true);
    endLink(QStringLiteral("Replay of %1 finished: %2 frames")
                .arg(status.name)
                .arg(status.framesDecoded));
}

void MainWindow::endLink(const QString &message, bool problem, const QString &detail)
{
    connectedPort.clear();
    emit signalLinkEnded(message, problem, detail);
}

void MainWindow::addPort(const QString &name)
{
    int index = ui->comboBox_PortList->findText(name);
    if (index < 0) {
        ui->comboBox_PortList->insertItem(0, name);
        index = 0;
    }
    ui->comboBox_PortList->setCurrentIndex(index);
}

void MainWindow::connectSelected()
{
    if (ui->pushButton_Connect->text() == QLatin1String("connect")
        && ui->pushButton_Connect->isEnabled())
        on_pushButton_Connect_clicked();
}

QString MainWindow::selectedPort() const
{
    return ui->comboBox_PortList->currentText();
}

QList<QChartView *> MainWindow::chartViews() const
{
    return {chartView_RawData, chartView_FFT};
}

void MainWindow::slot_receive_frame(frame_t frame)
{
    // The worker keeps the link's next frame until this one is handled. The identity taken here is
    // this frame's own; a frame of a link closed since is not shown as the new link's.
    const FrameIdentity identity = serialPort->takeFrameIdentity();
    if (identity.link >= 0 && identity.link != serialPort->status().link)
        return;
    if (!frameGate || frameGate(frame, identity))
        showFrame(frame, identity);
    emit signalFrameArrived(identity);
    if (identity.link >= 0)
        serialPort->frameHandled(identity.link);
}

void MainWindow::showFrame(const frame_t &frame, const FrameIdentity &identity)
{
    if (frame.modulation != 0) {
        ui->label_Modulation->setText("Modulation: FMCW");
        axisX_FFT->setRange(0.0, 64.0);
    } else {
        ui->label_Modulation->setText("Modulation: CW");
        axisX_FFT->setRange(0.0, 128.0);
    }
    lineSeries_FFT->replace(frame.fft_series);
    scatterSeries_FFT->replace(frame.fft_series);
    series_I->replace(frame.i_series);
    series_Q->replace(frame.q_series);
    // Axis items appear when a chart is first laid out; caching those already there is cheap.
    ChartPainting::cacheAxisArt(chart_RawData);
    ChartPainting::cacheAxisArt(chart_FFT);
    emit signalFrameShown(frame, identity);
}
