// SPDX-License-Identifier: MIT
#include "replaycontrol.h"

#include "hdf5replaysource.h"
#include "mainwindow.h"
#include "replaybar.h"
#include "replaysource.h"
#include "textrecordingreader.h"

#include <QFile>
#include <QFileInfo>

namespace {

// What the viewer cannot play, said before anything reads it: a pipe or a device would block the
// window or never end, and a text recording is no line's bytes.
bool refused(const QString &path, QString *error)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        *error = QStringLiteral("cannot replay %1: not a regular file (a replay plays a recording: "
                                "a raw capture, a line dump or an h5 recording)")
                     .arg(path);
        return true;
    }
    QFile file(path);
    TextRecordingReader::Format format;
    if (file.open(QIODevice::ReadOnly) && TextRecordingReader::recognise(file.read(64), &format)) {
        const QString kind = format == TextRecordingReader::Format::Csv ? "csv" : "jsonl";
        *error = QStringLiteral("cannot replay %1: a %2 recording is not played by the viewer (it "
                                "plays raw captures, line dumps and h5 recordings); "
                                "vazorez-decode %1 -o %3 makes an h5 recording of it")
                     .arg(path, kind, QFileInfo(path).completeBaseName() + ".h5");
        return true;
    }
    return false;
}

} // namespace

ReplayControl::ReplayControl(MainWindow *window)
    : QObject(window)
    , window(window)
{
    window->setOpener([this](const QString &name) { return open(name); });
    connect(window, &MainWindow::signalLinkEnded, this, &ReplayControl::linkEnded);
    connect(window, &MainWindow::signalFrameArrived, this, &ReplayControl::frameArrived);
}

bool ReplayControl::open(const QString &name)
{
    if (!replays.contains(name))
        return false;
    QString error;
    if (!start(name, replays[name].rate, replays[name].loop, &error))
        emit problem(error);
    return true;
}

bool ReplayControl::start(const QString &path, const QString &rate, bool loop, QString *error)
{
    ReplaySource::Rate pace = ReplaySource::Rate::Line;
    double framesPerSecond = 0;
    if (rate == QLatin1String("max")) {
        pace = ReplaySource::Rate::Max;
    } else if (rate != QLatin1String("line")) {
        bool ok = false;
        framesPerSecond = rate.toDouble(&ok);
        if (!ok || !(framesPerSecond > 0)) {
            *error = QStringLiteral("a replay's rate is line, max or frames per second, not '%1'")
                         .arg(rate);
            return false;
        }
        pace = ReplaySource::Rate::Fixed;
    }
    if (refused(path, error))
        return false;
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
    replays[path] = Replay{rate, loop};
    window->addPort(path);
    window->closeLink(); // the bar of a replay before goes with its link
    if (source->canMove()) {
        replayBar = new ReplayBar(window->link(), index, rate, window);
        window->addToolBar(Qt::BottomToolBarArea, replayBar);
        replayBar->show();
    }
    window->openSource(std::move(source));
    return true;
}

void ReplayControl::linkEnded()
{
    delete replayBar; // the window is as it was before the replay
}

void ReplayControl::frameArrived(const FrameIdentity &identity)
{
    if (replayBar && identity.link >= 0)
        replayBar->showPosition(identity.index);
}
