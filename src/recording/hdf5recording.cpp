// SPDX-License-Identifier: MIT
#include "hdf5recording.h"

#include "hdf5reader.h"
#include "linesettings.h"

#include <QFile>
#include <QFileInfo>

bool Hdf5Recording::hasSignature(const QString &path)
{
    // A FIFO or a device is never looked into: the bytes read here would be gone for the reader,
    // and a FIFO with no writer would hold the open. HDF5 needs a regular file anyway.
    if (!QFileInfo(path).isFile())
        return false;
    QFile file(path);
    static const QByteArray signature("\x89HDF\r\n\x1a\n", 8);
    return file.open(QIODevice::ReadOnly) && file.read(8) == signature;
}

QByteArray Hdf5Recording::radarProfileOf(const QString &path)
{
    if (!QFileInfo(path).isFile() || !hasSignature(path))
        return QByteArray();
    Hdf5Reader reader;
    QString error;
    return reader.open(path, &error) ? reader.attribute("radar_profile").toUtf8() : QByteArray();
}

QString Hdf5Recording::lineSettingsText()
{
    return QStringLiteral("%1 baud, 8 data bits, no parity, 1 stop bit, RTS/CTS")
        .arg(LineSettings::kBaudRate);
}
