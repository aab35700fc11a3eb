// SPDX-License-Identifier: MIT
#include "publishcontrol.h"

#include "livepublisher.h"
#include "mainwindow.h"
#include "serialport.h"

PublishControl::PublishControl(MainWindow *window)
    : QObject(window)
    , window(window)
{
    // The link's signal rather than the window's message: the subscribers get the reason alone, as
    // a capture gives it, after the link's "closed".
    connect(window->link(), &SerialPort::signalComPortLost, this, [this](const QString &reason) {
        if (publisher)
            publisher->linkLost(reason);
    });
    // A profile set while no link was open is in force for the link's first frame.
    connect(window, &MainWindow::signalLinkOpening, this, &PublishControl::takeProfile);
}

PublishControl::~PublishControl() = default;

bool PublishControl::start(const QString &endpoint, QString *error)
{
    if (publisher) {
        *error = QStringLiteral("already publishing on %1").arg(publisher->endpoint());
        return false;
    }
    auto starting = std::make_unique<LivePublisher>();
    if (!starting->start(endpoint, error))
        return false;
    // Joined while a link is open, the publisher hears of no opening: its frames carry the name.
    starting->setSourceName(window->openLinkName());
    publisher = std::move(starting);
    profileJson.clear();
    takeProfile();
    window->link()->addTap(publisher.get());
    return true;
}

bool PublishControl::stop()
{
    if (!publisher)
        return false;
    window->link()->removeTap(publisher.get());
    publisher.reset();
    return true;
}

QString PublishControl::endpoint() const
{
    return publisher ? publisher->endpoint() : QString();
}

uint64_t PublishControl::published() const
{
    return publisher ? publisher->published() : 0;
}

uint64_t PublishControl::unsent() const
{
    return publisher ? publisher->unsent() : 0;
}

void PublishControl::refresh(const LinkStatus &status)
{
    if (!publisher)
        return;
    publisher->setLinkFigures(status.framesDecoded, status.framesRejected, status.bytesDropped);
    takeProfile();
}

void PublishControl::takeProfile()
{
    if (!publisher)
        return;
    const QByteArray json = profileSource ? profileSource() : QByteArray();
    if (json == profileJson)
        return;
    // A profile the radar view holds is one it has read: it cannot be refused here.
    QString error;
    publisher->setRadarProfile(json, &error);
    profileJson = json;
}
