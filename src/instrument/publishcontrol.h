// SPDX-License-Identifier: MIT
// Live data out while watching: every frame of the window's link goes to the user's own programs
// on a ZeroMQ socket (LivePublisher), with its targets while the radar view has a profile in force,
// the link's figures, and the reason when the link is lost unasked. Publishing starts and stops
// at any time, with or without a link open; a socket that cannot be bound leaves the viewer as it
// was, without publishing.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class LivePublisher;
class MainWindow;
struct LinkStatus;

class PublishControl : public QObject {
    Q_OBJECT

public:
    explicit PublishControl(MainWindow *window);
    ~PublishControl() override;

    // Binds `endpoint` (tcp://HOST:PORT or ipc://PATH) and publishes every frame from now on.
    // False with *error, naming the endpoint, when it is malformed, cannot be bound or a
    // publisher already runs.
    bool start(const QString &endpoint, QString *error);
    // Stops publishing (the subscribers hear "stopped"); false when nothing was published.
    bool stop();
    bool isPublishing() const { return publisher != nullptr; }
    // What the socket is bound to; empty when not publishing.
    QString endpoint() const;
    uint64_t published() const;
    uint64_t unsent() const;

    // The radar profile in force, as JSON (empty: none); asked at the start, when a link opens and
    // on each refresh, so that the targets follow the profile the user sets.
    void setProfileSource(std::function<QByteArray()> source) { profileSource = std::move(source); }
    // The instrument's status refresh: the link's figures and the profile in force.
    void refresh(const LinkStatus &status);

private:
    void takeProfile();

    MainWindow *window;
    std::unique_ptr<LivePublisher> publisher;
    std::function<QByteArray()> profileSource;
    QByteArray profileJson; // the one the publisher has
};
