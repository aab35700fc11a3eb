// SPDX-License-Identifier: MIT
// Collects what Qt warns about while a test runs, so that a test can fail on it.
#pragma once

#include <QString>
#include <QStringList>

enum class WarningWatch {
    Everything,          // every warning, critical or fatal message
    ThreadsAndNotifiers, // warnings about threads or socket notifiers (teardown faults), critical, fatal
};

// Installs the handler; non-debug messages are still printed on standard error.
void watchQtWarnings(WarningWatch watch);
// The messages collected since the last call.
QStringList takeQtWarnings();

// A program built beside the running test.
QString siblingProgram(const QString &name);
