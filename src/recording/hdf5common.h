// SPDX-License-Identifier: MIT
// What the h5 writer, reader and file check share: the datasets' names and types, the library's
// errors as our messages, and the session's attributes as HDF5 stores them. Internal to the
// recording library: only its hdf5*.cpp include it.
#pragma once

#include <QString>

#include <hdf5.h>

#include <cstddef>
#include <cstdint>

namespace Hdf5Layout {

constexpr char kFormatName[] = "vazorez-recording";
// Frames gathered before a write, and read back as one block.
constexpr size_t kBlockFrames = 256;

enum Dataset { Time, Mode, Byte3, Count, I, Q, S, DatasetCount };
extern const char *const kNames[DatasetCount];

inline bool isMatrix(int dataset)
{
    return dataset >= I;
}
hid_t memoryType(int dataset);
hid_t fileType(int dataset);

// The most concrete reason on the library's error stack (often the system's own words), which it
// clears.
QString hdf5Reason();
// The library prints its error stack by default; we turn it into our own messages.
void silenceLibrary();
// Closes the datasets that are open and marks them closed.
void closeAll(int64_t *datasets);

// Strings are fixed-length: reading one never follows a reference out of the attribute's own bytes
// (a damaged variable-length reference sends the library's reader astray).
bool writeStringAttribute(hid_t object, const char *name, const QString &value);
bool writeIntAttribute(hid_t object, const char *name, int value);
// A string attribute, or nothing: fixed-length as writeStringAttribute writes it, or of variable
// length, as h5py writes a str (someone who added a note or a profile to a recording).
bool readStringAttribute(hid_t object, const char *name, QString *value);
bool readIntAttribute(hid_t object, const char *name, int *value);

} // namespace Hdf5Layout
