// SPDX-License-Identifier: MIT
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "chosentype.h"
#include "framerecorder.h"
#include "hdf5replaysource.h"
#include "linesettings.h"
#include "portlist.h"
#include "replaybar.h"
#ifdef VAZOREZ_RADAR_VIEW
#include "radarviewwindow.h"
#endif
#include "replaysource.h"
#include "serialport.h"
#include "spectrumhistorywindow.h"
#include "statusline.h"
#include "statusreport.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsLineItem>
#include <QImageWriter>
#include <QInputDialog>
#include <QMenu>
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

namespace {

// Grid lines, ticks and axis lines stay put from frame to frame, but each frame repaints the plot
// area under the series, and restroking the dashed minor grid costs more than the series
// themselves. Cached as device pixmaps they paint the same pixels at the cost of a blit; Qt drops
// an item's cache whenever the item changes. The spectrum's circle markers are not cached: they
// move by fractions of a pixel with every frame, and a cached marker is blitted at the old fraction.
void cacheAxisArt(QGraphicsItem *parent)
{
    for (QGraphicsItem *item : parent->childItems()) {
        if (item->type() == QGraphicsLineItem::Type && item->cacheMode() == QGraphicsItem::NoCache)
            item->setCacheMode(QGraphicsItem::DeviceCoordinateCache);
        cacheAxisArt(item);
    }
}

} // namespace

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
    statusLine = new StatusLine;
    statusReport = new StatusReport(ui->statusBar);
    statusTimer.setInterval(250);
    connect(&statusTimer, &QTimer::timeout, this, &MainWindow::showLinkStatus);
    buildChartMenu();
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

    chartView_RawData = new QChartView(chart_RawData);
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

    chartView_FFT = new QChartView(chart_FFT);
    ui->gridLayout->addWidget(chartView_FFT, 2, 0, 1, 4);
}

MainWindow::~MainWindow()
{
    // The link ends as on "disconnect": what the worker has read is decoded and reaches the
    // recorder and the history before they let go. The recording then ends whole.
    statusTimer.stop();
    serialPort->closePort();
    endRecording();
    delete history.data();
#ifdef VAZOREZ_RADAR_VIEW
    delete radarView.data();
#endif
    // Each chart goes before its view; the scatter series and the axes belong to their chart.
    delete series_I;
    delete series_Q;
    delete chart_RawData;
    delete chartView_RawData;
    delete lineSeries_FFT;
    delete chart_FFT;
    delete chartView_FFT;
    delete serialPort;
    delete statusLine;
    delete ui;
}

void MainWindow::on_pushButton_Connect_clicked()
{
    statusReport->clearProblem();
    if (ui->pushButton_Connect->text() == QLatin1String("connect")) {
        ui->pushButton_Connect->setEnabled(false);
        const QString name = ui->comboBox_PortList->currentText();
        if (replays.contains(name)) {
            QString error;
            if (!startReplay(name, replays[name].rate, replays[name].loop, &error)) {
                warn(error);
                ui->pushButton_Connect->setEnabled(true);
            }
            return;
        }
        prepareRecording();
        // The outcome slot runs before openPort returns and re-enables the button.
        serialPort->openPort(name, LineSettings::kBaudRate);
    } else {
        serialPort->closePort();
        ui->pushButton_Connect->setText("connect");
        linkEnded(QString());
    }
}

void MainWindow::slot_serialPort_success()
{
    ui->pushButton_Connect->setText("disconnect");
    ui->pushButton_Connect->setEnabled(true);
    connectedPort = serialPort->status().name;
    recordingNote.clear();
    statusReport->clearReport();
    *statusLine = StatusLine();
    showLinkStatus();
    statusTimer.start();
}

void MainWindow::slot_serialPort_error()
{
    // A recording waiting for this link goes; the next link may have it.
    if (recorder) {
        serialPort->removeTap(recorder.get());
        recorder->abandon();
        recorder.reset();
    }
    QMessageBox box;
    box.setText("error initialising comport");
    // Which port, and why: a busy port, a missing one and one the user may not open (on Linux, a
    // user outside the dialout group) call for different remedies.
    const QString port = ui->comboBox_PortList->currentText();
    box.setInformativeText(QStringLiteral("%1: %2").arg(port.isEmpty() ? QStringLiteral("no port selected") : port,
                                                        serialPort->openErrorString()));
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
    linkEnded(QStringLiteral("The line to %1 was lost: %2").arg(port, reason), true, systemWords);
}

void MainWindow::onReplayFinished()
{
    if (connectedPort.isEmpty())
        return;
    const LinkStatus status = serialPort->status();
    ui->pushButton_Connect->setText("connect");
    ui->pushButton_Connect->setEnabled(true);
    linkEnded(QStringLiteral("Replay of %1 finished: %2 frames").arg(status.name).arg(status.framesDecoded));
}

void MainWindow::linkEnded(const QString &message, bool problem, const QString &detail)
{
    // The link's recording ends with it, whole; a new link does not write over it. The link's last
    // figures stay in the status bar until the next link opens.
    if (recorder)
        recordingNote = endRecording();
    delete replayBar; // the window is as it was before the replay
    showLinkStatus();
    connectedPort.clear();
    statusTimer.stop();
    if (problem || recordingFailed) {
        QStringList parts;
        for (const QString &part : {message, recordingFailed ? recordingNote : QString()})
            if (!part.isEmpty())
                parts.append(part);
        statusReport->problem(parts.join("; "), detail);
    } else if (!message.isEmpty()) {
        statusReport->report(message);
    }
}

void MainWindow::showLinkStatus()
{
    StatusLine::Extras extras;
    extras.paused = paused;
    extras.arrivedWhilePaused = arrivedWhilePaused;
    if (recorder) {
        const FrameRecorder::Status recording = recorder->status();
        if (!recording.error.isEmpty()) {
            // A full disk or a pulled drive ends the recording; viewing goes on.
            recordingNote = endRecording();
            statusReport->problem(recordingNote);
        } else {
            extras.recordingPath = recording.path;
            // Read before the link's figures: of the same moment or an earlier one, never a later.
            extras.recordedFrames = recording.framesAtLinkStatus;
        }
    }
    extras.note = recordingNote;
    statusReport->showLink(statusLine->describe(serialPort->status(), extras));
}

void MainWindow::tell(const QString &message)
{
    statusReport->report(message);
}

void MainWindow::warn(const QString &problem)
{
    statusReport->problem(problem);
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
    if (ui->pushButton_Connect->text() == QLatin1String("connect") && ui->pushButton_Connect->isEnabled())
        on_pushButton_Connect_clicked();
}

bool MainWindow::startReplay(const QString &path, const QString &rate, bool loop, QString *error)
{
    ReplaySource::Rate pace = ReplaySource::Rate::Line;
    double framesPerSecond = 0;
    if (rate == QLatin1String("max")) {
        pace = ReplaySource::Rate::Max;
    } else if (rate != QLatin1String("line")) {
        bool ok = false;
        framesPerSecond = rate.toDouble(&ok);
        if (!ok || !(framesPerSecond > 0)) {
            *error = QStringLiteral("a replay's rate is line, max or frames per second, not '%1'").arg(rate);
            return false;
        }
        pace = ReplaySource::Rate::Fixed;
    }
    std::unique_ptr<ByteSource> source;
    std::shared_ptr<const FrameIndex> index;
    if (Hdf5ReplaySource::handles(path)) {
        auto recording = std::make_unique<Hdf5ReplaySource>(path, pace, framesPerSecond, loop);
        if (!recording->open(error))
            return false;
        index = recording->index();
        source = std::move(recording);
    } else {
        auto capture = std::make_unique<ReplaySource>(path, pace, framesPerSecond, loop);
        if (!capture->open(error))
            return false;
        index = capture->index();
        source = std::move(capture);
    }
    replays[path] = Replay {rate, loop};
    addPort(path);
    if (!connectedPort.isEmpty()) {
        serialPort->closePort();
        ui->pushButton_Connect->setText("connect");
        linkEnded(QString());
    }
    ui->pushButton_Connect->setEnabled(false);
    prepareRecording();
    if (source->canMove()) {
        replayBar = new ReplayBar(serialPort, index, rate, this);
        addToolBar(Qt::BottomToolBarArea, replayBar);
        replayBar->show();
    }
    serialPort->openSource(std::move(source));
    return true;
}

void MainWindow::prepareRecording()
{
    // The recorder listens before the link opens, so that it has the link's first frame too.
    if (recordingPath.isEmpty() || recorder)
        return;
    QString error;
    if (!beginRecording(0.0, &error))
        warn(error);
}

bool MainWindow::startRecording(const QString &path, const QString &format, QString *error)
{
    stopRecording();
    recordingPath = path;
    recordingFormat = format;
    recordingNote.clear();
    recordingFailed = false;
    if (connectedPort.isEmpty()) {
        // It starts with the next link; whether the file can be written is known now.
        FrameRecorder trial(path, format);
        if (trial.start(0.0, error)) {
            trial.abandon();
            return true;
        }
        recordingPath.clear();
        return false;
    }
    // A replay's frames keep their time in the file; a port's count from the recording's start.
    const LinkStatus link = serialPort->status();
    if (beginRecording(link.replay ? 0.0 : link.seconds, error))
        return true;
    recordingPath.clear();
    return false;
}

bool MainWindow::beginRecording(double linkSeconds, QString *error)
{
    auto starting = std::make_unique<FrameRecorder>(recordingPath, recordingFormat);
    RecordingContext session;
    // Before a link opens (a recording waiting for it) the port or file about to open is selected.
    session.source = connectedPort.isEmpty() ? ui->comboBox_PortList->currentText() : connectedPort;
    session.note = recordingUserNote;
    starting->setContext(session);
    if (!starting->start(linkSeconds, error)) {
        recordingPath.clear();
        return false;
    }
    recorder = std::move(starting);
    serialPort->addTap(recorder.get());
#ifdef VAZOREZ_RADAR_VIEW
    // The profile in force travels beside the recording; the recording itself is as always.
    QString sidecarProblem;
    if (radarView && !radarView->recordingStarted(recordingPath, &sidecarProblem))
        warn(sidecarProblem);
#endif
    return true;
}

void MainWindow::stopRecording()
{
    if (!recorder) {
        recordingPath.clear();
        return;
    }
    recordingNote = endRecording();
    if (!connectedPort.isEmpty())
        showLinkStatus();
    if (recordingFailed)
        statusReport->problem(recordingNote);
    else
        statusReport->report(recordingNote);
}

QString MainWindow::endRecording()
{
    recordingPath.clear();
    if (!recorder)
        return QString();
    serialPort->removeTap(recorder.get());
    // The count is taken once the last frames are in the file: it is what the file holds.
    QString error;
    const bool whole = recorder->finish(&error);
    const FrameRecorder::Status done = recorder->status();
    QString note;
    // Failed unless it ended whole with frames, or had none to keep.
    recordingFailed = !done.error.isEmpty() || !whole;
    if (!done.error.isEmpty())
        note = QStringLiteral("recording to %1 stopped after %2 frames: %3").arg(done.path).arg(done.frames).arg(error.isEmpty() ? done.error : error);
    else if (!whole)
        note = QStringLiteral("recording to %1 failed: %2").arg(done.path, error);
    else if (done.frames == 0) // an empty recording does not replace what the file held
        note = QStringLiteral("nothing recorded: no frame arrived, %1 left as it was").arg(done.path);
    else
        note = QStringLiteral("recorded %1 frames to %2").arg(done.frames).arg(done.path);
    recorder.reset();
    return note;
}

void MainWindow::setDisplayPaused(bool pause)
{
    if (pause == paused)
        return;
    paused = pause;
    action_Pause->setText(paused ? "Resume" : "Pause display");
    if (history)
        history->setPaused(paused);
#ifdef VAZOREZ_RADAR_VIEW
    if (radarView)
        radarView->setPaused(paused);
#endif
    if (paused) {
        arrivedWhilePaused = 0;
    } else if (holding) {
        // The charts catch up with the newest frame that arrived meanwhile.
        holding = false;
        showFrame(heldFrame);
        shownIdentity = heldIdentity;
    }
    if (!connectedPort.isEmpty())
        showLinkStatus();
}

void MainWindow::showSpectrumHistory()
{
    if (!history) {
        history = new SpectrumHistoryWindow(this);
        history->attach(serialPort);
        history->setPaused(paused);
    }
    history->show();
    history->raise();
    history->activateWindow();
}

RadarViewWindow *MainWindow::showRadarView()
{
#ifdef VAZOREZ_RADAR_VIEW
    if (!radarView) {
        radarView = new RadarViewWindow(this);
        radarView->restoreLastProfile();
        radarView->attach(serialPort);
        radarView->setPaused(paused);
    }
    radarView->show();
    radarView->raise();
    radarView->activateWindow();
    return radarView;
#else
    return nullptr;
#endif
}

bool MainWindow::savePicture(const QString &path, QWidget *what, QString *error)
{
    // PNG only: Qt's SVG writer cannot clip, and a series beyond its axes would run across the
    // whole chart in the file while the window shows it cut at the plot area.
    if (QFileInfo(path).suffix().compare("png", Qt::CaseInsensitive) != 0) {
        *error = QStringLiteral("pictures are saved as PNG: give %1 the extension .png").arg(path);
        return false;
    }
    QImageWriter writer(path, "png");
    if (!writer.write(what->grab().toImage())) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, writer.errorString());
        return false;
    }
    return true;
}

bool MainWindow::saveShownFrame(const QString &path, QString *error)
{
    if (shownFrame.sample_count == 0 && shownFrame.i_series.isEmpty()
        && shownIdentity.bytes.isEmpty()) {
        *error = QStringLiteral("no frame is shown yet");
        return false;
    }
    return FrameRecorder::writeOneFrame(
        path, shownFrame, shownIdentity.bytes, shownIdentity.index, shownIdentity.seconds, error);
}

void MainWindow::buildChartMenu()
{
    chartMenu = new QMenu(this);
    chartMenu->setObjectName("menu_Charts");
    auto add = [this](const char *name, const QString &text) {
        QAction *action = chartMenu->addAction(text);
        action->setObjectName(name);
        return action;
    };
    action_Pause = add("action_Pause", "Pause display");
    chartMenu->addSeparator();
    action_SavePicture = add("action_SavePicture", "Save picture...");
    action_SaveChartPicture = add("action_SaveChartPicture", "Save chart picture...");
    action_SaveFrame = add("action_SaveFrame", "Save shown frame...");
    chartMenu->addSeparator();
    action_Record = add("action_Record", "Start recording...");
    chartMenu->addSeparator();
    action_History = add("action_History", "Spectrum history...");
#ifdef VAZOREZ_RADAR_VIEW
    connect(add("action_RadarView", "Radar view..."), &QAction::triggered, this, &MainWindow::showRadarView);
#endif

    connect(action_Pause, &QAction::triggered, this, [this] { setDisplayPaused(!paused); });

    const QString pictures = "PNG picture (*.png)";
    connect(action_SavePicture, &QAction::triggered, this, [this, pictures] {
        askForFile("Save picture", pictures, "png", [this](const QString &path) {
            QString error;
            if (savePicture(path, this, &error))
                tell(QStringLiteral("Saved the window to %1").arg(path));
            else
                warn(error);
        });
    });
    connect(action_SaveChartPicture, &QAction::triggered, this, [this, pictures] {
        QWidget *chart = menuView ? static_cast<QWidget *>(menuView) : static_cast<QWidget *>(chartView_RawData);
        askForFile("Save chart picture", pictures, "png", [this, chart](const QString &path) {
            QString error;
            if (savePicture(path, chart, &error))
                tell(QStringLiteral("Saved the chart to %1").arg(path));
            else
                warn(error);
        });
    });
    connect(action_SaveFrame, &QAction::triggered, this, [this] {
        askForFile("Save shown frame", "CSV (*.csv)", "csv", [this](const QString &path) {
            QString error;
            if (saveShownFrame(path, &error))
                tell(QStringLiteral("Saved the shown frame to %1").arg(path));
            else
                warn(error);
        });
    });
    connect(action_Record, &QAction::triggered, this, [this] {
        if (recorder || !recordingPath.isEmpty()) {
            stopRecording();
            return;
        }
        askForFile("Start recording", "CSV (*.csv);;JSON lines (*.jsonl);;Raw frames (*.raw);;HDF5 recording (*.h5)", QString(),
                   [this](const QString &path) {
                       const auto start = [this, path] {
                           QString error;
                           if (!startRecording(path, QString(), &error))
                               warn(error);
                           else if (connectedPort.isEmpty())
                               tell(QStringLiteral("Recording to %1 starts with the next connection").arg(path));
                           else
                               showLinkStatus();
                       };
                       if (FrameWriter::formatForSuffix(path) == FrameWriter::Format::Hdf5)
                           askForNote(start);
                       else
                           start();
                   });
    });
    connect(action_History, &QAction::triggered, this, &MainWindow::showSpectrumHistory);
    connect(chartMenu, &QMenu::aboutToShow, this, [this] {
        statusReport->clearProblem();
        action_Record->setText(recorder || !recordingPath.isEmpty() ? "Stop recording" : "Start recording...");
    });
    for (QChartView *view : {chartView_RawData, chartView_FFT}) {
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view, &QWidget::customContextMenuRequested, this,
                [this, view](const QPoint &position) { openChartMenu(view, position); });
    }
}

void MainWindow::openChartMenu(QChartView *view, const QPoint &position)
{
    menuView = view;
    chartMenu->popup(view->mapToGlobal(position));
}

void MainWindow::askForFile(const QString &title, const QString &filter, const QString &suffix,
                            const std::function<void(const QString &)> &use)
{
    // Window-modal and not blocking: the charts go on updating behind it.
    auto *dialog = new QFileDialog(this, title, QString(), filter);
    dialog->setObjectName("fileDialog_Save");
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setDefaultSuffix(suffix);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // Without a suffix of its own the type chosen gives the name its extension.
    connect(dialog, &QFileDialog::fileSelected, this, [dialog, suffix, use](const QString &path) {
        use(suffix.isEmpty() ? withChosenExtension(path, dialog->selectedNameFilter()) : path);
    });
    dialog->open();
}

void MainWindow::askForNote(const std::function<void()> &then)
{
    // An h5 recording keeps a note with its session; the last one is offered again.
    auto *dialog = new QInputDialog(this);
    dialog->setObjectName("inputDialog_Note");
    dialog->setWindowTitle("Start recording");
    dialog->setLabelText("Note kept with the recording:");
    dialog->setTextValue(recordingUserNote);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QInputDialog::textValueSelected, this, [this, then](const QString &note) {
        recordingUserNote = note;
        then();
    });
    dialog->open();
}

void MainWindow::slot_receive_frame(frame_t frame)
{
    // The worker keeps the link's next frame until this one is handled. The identity taken here is
    // this frame's own; a frame of a link closed since is not shown as the new link's.
    FrameIdentity identity = serialPort->takeFrameIdentity();
    if (identity.link >= 0 && identity.link != serialPort->status().link)
        return;
    if (paused) {
        ++arrivedWhilePaused;
        heldFrame = frame;
        heldIdentity = identity;
        holding = true;
    } else {
        showFrame(frame);
        shownIdentity = identity;
    }
    if (replayBar && identity.link >= 0)
        replayBar->showPosition(identity.index);
    if (identity.link >= 0)
        serialPort->frameHandled(identity.link);
}

void MainWindow::showFrame(const frame_t &frame)
{
    shownFrame = frame;
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
    cacheAxisArt(chart_RawData);
    cacheAxisArt(chart_FFT);
}
