// SPDX-License-Identifier: MIT
// Recordings as HDF5 files that carry their session: who wrote them, when, from which port or
// file, with which line settings and note. One chunked, compressed dataset per quantity, growing as
// frames arrive:
//   time_s float64 [N]        seconds since the recording started
//   mode, byte3, n uint8 [N]  the frame's mode byte (0 CW, 1 FMCW), free byte and sample count
//   i, q int16 [N, 255]       samples; row k holds n[k] values, the rest 0
//   s int32 [N, 255]          spectrum in frame order, the same way
// Fixed rows of 255 rather than variable-length ones: HDF5 cannot compress variable-length data,
// and a fixed matrix is what numpy and MATLAB load in one call. The zero tails cost next to nothing
// once deflated.
//
// hdf5writer.h writes such a file, hdf5reader.h reads one back, checked first by a process of its
// own (hdf5check.h).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// The session a recording comes from, written as the file's attributes.
struct RecordingContext {
    QString program; // empty: the running program's name and version, "vazorez-capture 1.0.0"
    QString source; // the port or the replayed file
    QString note; // the user's own words; may be empty
    // The radar profile in force, as JSON; empty when there is none, and then not written.
    QString radarProfileJson;
    QDateTime start; // the recording's start; invalid: when the file is created
};

namespace Hdf5Recording {
constexpr int kFormatVersion = 1;
constexpr int kMaxSamples = 255;
// The first bytes of every HDF5 file.
bool hasSignature(const QString &path);
// The radar profile (JSON) an h5 recording of ours keeps in its session; empty when it keeps none,
// or is no such recording.
QByteArray radarProfileOf(const QString &path);
// "115200 baud, 8 data bits, no parity, 1 stop bit, RTS/CTS".
QString lineSettingsText();
} // namespace Hdf5Recording
