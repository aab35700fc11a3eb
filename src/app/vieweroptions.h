// SPDX-License-Identifier: MIT
// The viewer's command line. Started without options the window is the fixed one; these open a
// port at once, replay, record or publish, or open the spectrum history. Unknown options, stray
// arguments and bad values end the viewer before its window opens, as they end the tools (exit
// code 2).
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

struct ViewerOptions {
    QString port; // put at the top of the port list and selected
    bool connect = false;
    QString replay; // a recording to play in the window
    QString rate = "line";
    bool loop = false;
    QString record; // every frame of the link into this file
    QString format; // csv, jsonl, raw or h5; empty: from the file's extension
    QString note; // kept with an h5 recording
    bool history = false;
    bool radarView = false;
    QString radar; // a radar profile for the radar view (which it opens)
    QString publish; // every frame published on this ZeroMQ endpoint
};

// Answers --help and --version on standard output without a window (no display is needed) and
// returns the exit code; returns nothing when the viewer is to start.
std::optional<int> answerWithoutWindow(int argc, char *argv[]);

// Reads the options from the application's arguments (the toolkit's own already removed). Each
// problem is one line in *problems; with any, the viewer must not start.
ViewerOptions readViewerOptions(const QStringList &arguments, QStringList *problems);
