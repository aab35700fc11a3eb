// SPDX-License-Identifier: MIT
#include "chartmenu.h"

#include "chosentype.h"
#include "framewriter.h"
#include "labinstrument.h"
#include "livepublisher.h"
#include "mainwindow.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageWriter>
#include <QInputDialog>
#include <QMenu>
#include <QtCharts/QChartView>

using namespace QtCharts;

ChartMenu::ChartMenu(MainWindow *window, LabInstrument *instrument)
    : QObject(instrument)
    , window(window)
    , instrument(instrument)
{
    build();
}

bool ChartMenu::savePicture(const QString &path, QWidget *what, QString *error)
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

void ChartMenu::build()
{
    // The menu belongs to the window, as a dialog opened from it does.
    menu = new QMenu(window);
    menu->setObjectName("menu_Charts");
    auto add = [this](const char *name, const QString &text) {
        QAction *action = menu->addAction(text);
        action->setObjectName(name);
        return action;
    };
    action_Pause = add("action_Pause", "Pause display");
    menu->addSeparator();
    QAction *savePictureAction = add("action_SavePicture", "Save picture...");
    QAction *saveChartAction = add("action_SaveChartPicture", "Save chart picture...");
    QAction *saveFrameAction = add("action_SaveFrame", "Save shown frame...");
    menu->addSeparator();
    action_Record = add("action_Record", "Start recording...");
    action_Publish = add("action_Publish", "Publish...");
    menu->addSeparator();
    connect(add("action_History", "Spectrum history..."), &QAction::triggered, instrument,
        &LabInstrument::showSpectrumHistory);
#ifdef VAZOREZ_RADAR_VIEW
    connect(add("action_RadarView", "Radar view..."), &QAction::triggered, instrument,
        &LabInstrument::showRadarView);
#endif

    connect(action_Pause, &QAction::triggered, this,
        [this] { instrument->setDisplayPaused(!instrument->isDisplayPaused()); });
    connect(instrument, &LabInstrument::displayPausedChanged, this,
        [this](bool paused) { action_Pause->setText(paused ? "Resume" : "Pause display"); });

    const QString pictures = "PNG picture (*.png)";
    // Says what was saved, or what went wrong.
    const auto saved
        = [this](bool ok, const QString &what, const QString &path, const QString &error) {
              if (ok)
                  instrument->tell(QStringLiteral("Saved %1 to %2").arg(what, path));
              else
                  instrument->warn(error);
          };
    connect(savePictureAction, &QAction::triggered, this, [this, pictures, saved] {
        askForFile("Save picture", pictures, "png", [this, saved](const QString &path) {
            QString error;
            saved(savePicture(path, window, &error), "the window", path, error);
        });
    });
    connect(saveChartAction, &QAction::triggered, this, [this, pictures, saved] {
        QWidget *chart = menuView ? static_cast<QWidget *>(menuView) : window->chartViews().first();
        askForFile("Save chart picture", pictures, "png", [chart, saved](const QString &path) {
            QString error;
            saved(savePicture(path, chart, &error), "the chart", path, error);
        });
    });
    connect(saveFrameAction, &QAction::triggered, this, [this, saved] {
        if (!instrument->hasShownFrame()) { // said before a file is asked for
            instrument->warn(QStringLiteral("no frame is shown yet"));
            return;
        }
        askForFile("Save shown frame", "CSV (*.csv)", "csv", [this, saved](const QString &path) {
            QString error;
            saved(instrument->saveShownFrame(path, &error), "the shown frame", path, error);
        });
    });
    connect(action_Record, &QAction::triggered, this, &ChartMenu::record);
    connect(action_Publish, &QAction::triggered, this, [this] {
        if (instrument->publishingEndpoint().isEmpty())
            askForEndpoint();
        else
            instrument->stopPublishing();
    });
    connect(menu, &QMenu::aboutToShow, this, [this] {
        instrument->userActed();
        action_Record->setText(instrument->isRecording() ? "Stop recording" : "Start recording...");
        const QString publishing = instrument->publishingEndpoint();
        action_Publish->setText(publishing.isEmpty() ? QStringLiteral("Publish...")
                                                     : "Stop publishing on " + publishing);
    });
    for (QChartView *view : window->chartViews()) {
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint &position) { open(view, position); });
    }
}

void ChartMenu::open(QChartView *view, const QPoint &position)
{
    menuView = view;
    menu->popup(view->mapToGlobal(position));
}

void ChartMenu::record()
{
    if (instrument->isRecording()) {
        instrument->stopRecording();
        return;
    }
    askForFile("Start recording",
        "CSV (*.csv);;JSON lines (*.jsonl);;Raw frames (*.raw);;HDF5 recording (*.h5)", QString(),
        [this](const QString &path) {
            const auto start = [this, path] {
                QString error;
                if (!instrument->startRecording(path, QString(), &error))
                    instrument->warn(error);
                else if (window->openLinkName().isEmpty())
                    instrument->tell(
                        QStringLiteral("Recording to %1 starts with the next connection")
                            .arg(path));
            };
            if (FrameWriter::formatForSuffix(path) == FrameWriter::Format::Hdf5)
                askForNote(start);
            else
                start();
        });
}

void ChartMenu::askForFile(const QString &title, const QString &filter, const QString &suffix,
    const std::function<void(const QString &)> &use)
{
    // Window-modal and not blocking: the charts go on updating behind it.
    auto *dialog = new QFileDialog(window, title, QString(), filter);
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

void ChartMenu::askForNote(const std::function<void()> &then)
{
    // An h5 recording keeps a note with its session; the last one is offered again.
    auto *dialog = new QInputDialog(window);
    dialog->setObjectName("inputDialog_Note");
    dialog->setWindowTitle("Start recording");
    dialog->setLabelText("Note kept with the recording:");
    dialog->setTextValue(instrument->recordingNote());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QInputDialog::textValueSelected, this, [this, then](const QString &note) {
        instrument->setRecordingNote(note);
        then();
    });
    dialog->open();
}

void ChartMenu::askForEndpoint(const QString &note)
{
    auto *dialog = new QInputDialog(window);
    dialog->setObjectName("inputDialog_Publish");
    dialog->setWindowTitle("Publish");
    dialog->setLabelText(note
        + QStringLiteral("Every frame, live to your own programs (ZeroMQ), while the viewer shows "
                         "it.\ntcp://127.0.0.1:PORT keeps the stream on this machine; any other "
                         "address\nshares it with the network. The stream has no authentication.\n"
                         "Publish on (tcp://HOST:PORT or ipc://PATH):"));
    dialog->setTextValue(
        lastEndpoint.isEmpty() ? QStringLiteral("tcp://127.0.0.1:5556") : lastEndpoint);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QInputDialog::textValueSelected, this, [this](const QString &typed) {
        lastEndpoint = typed.trimmed();
        QString error;
        if (!LivePublisher::isWellFormedEndpoint(lastEndpoint, &error)) {
            askForEndpoint(error + '\n');
            return;
        }
        // A socket that cannot be bound is said by the instrument; the viewer goes on.
        instrument->startPublishing(lastEndpoint, &error);
    });
    dialog->open();
}
