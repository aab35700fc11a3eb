// SPDX-License-Identifier: MIT
// What every command-line tool here does with its arguments and messages: a bad option is one line
// on standard error and exit code 2, --help goes to standard output, and every line names the tool.
#pragma once

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <optional>

// "tool: message (see --help)" on standard error; returns the exit code for bad options.
inline int usageError(const QString &message)
{
    std::fprintf(stderr, "%s: %s (see --help)\n", qPrintable(QCoreApplication::applicationName()),
        qPrintable(message));
    return 2;
}

// "tool: message" on standard error; returns the exit code for a run that failed.
inline int toolError(const QString &message)
{
    std::fprintf(
        stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(message));
    return 1;
}

// Parses the program's arguments. Returns the exit code when the program ends here (bad options,
// or --help printed), nothing when it goes on.
inline std::optional<int> parseArguments(QCommandLineParser &parser)
{
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet("help")) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    return std::nullopt;
}

// Message handler for tools that count the receive rules' debug lines ("error parsing data")
// instead of printing them: everything else goes to standard error under the tool's name.
inline void printAllButDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
            qPrintable(message));
}
