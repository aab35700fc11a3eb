// SPDX-License-Identifier: MIT
// A save dialog that offers several types of file: the type chosen decides the file's extension,
// and with it what is written (a recording's format follows its extension).
#pragma once

#include <QString>

// `path` as it is to be written when the type `nameFilter` ("Raw frames (*.raw)") was chosen:
// unchanged when it ends in one of the type's extensions, else with the type's first one added.
QString withChosenExtension(const QString &path, const QString &nameFilter);
