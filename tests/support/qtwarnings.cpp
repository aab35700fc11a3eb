// SPDX-License-Identifier: MIT
#include "qtwarnings.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

namespace {

WarningWatch watching = WarningWatch::Everything;
QStringList collected;

void collect(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const bool serious = type == QtCriticalMsg || type == QtFatalMsg;
    const bool aboutThreads = message.contains("thread", Qt::CaseInsensitive)
        || message.contains("notifier", Qt::CaseInsensitive);
    if (serious || (type == QtWarningMsg && (watching == WarningWatch::Everything || aboutThreads)))
        collected.append(message);
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

void watchQtWarnings(WarningWatch watch)
{
    watching = watch;
    qInstallMessageHandler(collect);
}

QStringList takeQtWarnings()
{
    QStringList messages;
    messages.swap(collected);
    return messages;
}

QString siblingProgram(const QString &name)
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(name);
}
