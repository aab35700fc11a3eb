// SPDX-License-Identifier: MIT
// What every command-line tool here does with its arguments and messages: a bad option is one line
// on standard error and exit code 2, --help goes to standard output, and every line names the tool.
#pragma once

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

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

// `text` in lines of at most `width` characters, broken at spaces; a line break in it stays one.
inline QStringList wrappedText(const QString &text, int width)
{
    QStringList lines;
    for (const QString &paragraph : text.split('\n')) {
        QString line;
        for (const QString &word : paragraph.split(' ', Qt::SkipEmptyParts)) {
            if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
                lines.append(line);
                line.clear();
            }
            line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
        }
        lines.append(line);
    }
    return lines;
}

// The program's help with `options` listed in our own layout: the usage line, the description
// wrapped to under 80 columns, then each option's names and its
// description from one column, wrapped at spaces to under 80 columns; names too long for the
// column stand on a line of their own. QCommandLineParser sets its column after the longest names,
// which left the simulator's descriptions a third of the line, wrapped again where they had been
// broken for another width.
inline QString helpText(const QCommandLineParser &parser, QList<QCommandLineOption> options)
{
    constexpr int kColumn = 24;
    constexpr int kLineWidth = 79;
    const QString qtHelp = parser.helpText();
    const int argumentsAt = qtHelp.indexOf(QLatin1String("\nArguments:\n"));
    QString help = qtHelp.section('\n', 0, 0) + '\n'
        + wrappedText(parser.applicationDescription(), kLineWidth).join('\n')
        + QStringLiteral("\n\nOptions:\n");
    options.prepend(QCommandLineOption({"h", "help"}, QStringLiteral("Shows this help.")));
    for (const QCommandLineOption &option : options) {
        if (option.flags() & QCommandLineOption::HiddenFromHelp)
            continue;
        QStringList names;
        for (const QString &name : option.names())
            names.append((name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name);
        QString named = QStringLiteral("  ") + names.join(QStringLiteral(", "));
        if (!option.valueName().isEmpty())
            named += QStringLiteral(" <%1>").arg(option.valueName());
        const QStringList lines = wrappedText(option.description(), kLineWidth - kColumn);
        if (named.size() > kColumn - 2)
            help += named + '\n' + QString(kColumn, ' ');
        else
            help += named.leftJustified(kColumn, ' ');
        help += lines.join('\n' + QString(kColumn, ' ')) + '\n';
    }
    if (argumentsAt >= 0)
        help += qtHelp.mid(argumentsAt);
    return help;
}

// Parses the program's arguments. Returns the exit code when the program ends here (bad options,
// or --help printed), nothing when it goes on. With `options` given, --help lists them in our own
// layout (helpText()).
inline std::optional<int> parseArguments(
    QCommandLineParser &parser, const QList<QCommandLineOption> &options = {})
{
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet("help")) {
        const QString help = options.isEmpty() ? parser.helpText() : helpText(parser, options);
        std::fputs(qPrintable(help), stdout);
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
