// SPDX-License-Identifier: MIT
#include "hdf5common.h"

namespace Hdf5Layout {

const char *const kNames[DatasetCount] = {"time_s", "mode", "byte3", "n", "i", "q", "s"};

hid_t memoryType(int dataset)
{
    switch (dataset) {
    case Time:
        return H5T_NATIVE_DOUBLE;
    case I:
    case Q:
        return H5T_NATIVE_INT16;
    case S:
        return H5T_NATIVE_INT32;
    default:
        return H5T_NATIVE_UINT8;
    }
}

hid_t fileType(int dataset)
{
    switch (dataset) {
    case Time:
        return H5T_IEEE_F64LE;
    case I:
    case Q:
        return H5T_STD_I16LE;
    case S:
        return H5T_STD_I32LE;
    default:
        return H5T_STD_U8LE;
    }
}

namespace {

// HDF5 keeps its reasons on an error stack; the deepest entry is the most concrete one (often the
// system's own words).
herr_t keepDeepest(unsigned, const H5E_error2_t *entry, void *data)
{
    if (!entry->desc || !*entry->desc)
        return 0;
    QString reason = QString::fromUtf8(entry->desc);
    // A failed system call reads "file write failed: time = ..., error message = 'File too
    // large', ...": the system's words are what a user can act on.
    const int from = reason.indexOf(QLatin1String("error message = '"));
    if (from >= 0) {
        const int start = from + 17;
        reason = reason.mid(start, reason.indexOf('\'', start) - start);
    }
    *static_cast<QString *>(data) = reason;
    return 0;
}

} // namespace

QString hdf5Reason()
{
    QString reason;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, keepDeepest, &reason);
    H5Eclear2(H5E_DEFAULT);
    return reason.isEmpty() ? QStringLiteral("HDF5 error") : reason;
}

void silenceLibrary()
{
    static const bool atExitLeftOut = [] {
        // A file whose flush failed (a full disk, a size limit) cannot be closed; the library's
        // own clean-up at exit then closes it again and crashes. Every file of ours is closed
        // by its owner, so the clean-up at exit has nothing to do that matters.
        H5dont_atexit();
        return true;
    }();
    // A thread-safe libhdf5 keeps an error stack, and whether it prints it, for each thread: a
    // replay opened on one thread and read on another printed the library's whole stack there.
    static thread_local const bool silenced = [] {
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
        return true;
    }();
    Q_UNUSED(atExitLeftOut)
    Q_UNUSED(silenced)
}

bool writeStringAttribute(hid_t object, const char *name, const QString &value)
{
    QByteArray utf8 = value.toUtf8();
    if (utf8.isEmpty())
        utf8 = QByteArray(1, '\0'); // HDF5 has no zero-length fixed string
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, size_t(utf8.size()));
    H5Tset_cset(type, H5T_CSET_UTF8);
    H5Tset_strpad(type, H5T_STR_NULLPAD);
    const hid_t space = H5Screate(H5S_SCALAR);
    const hid_t attribute = H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    const bool written = attribute >= 0 && H5Awrite(attribute, type, utf8.constData()) >= 0;
    if (attribute >= 0)
        H5Aclose(attribute);
    H5Sclose(space);
    H5Tclose(type);
    return written;
}

bool writeIntAttribute(hid_t object, const char *name, int value)
{
    const hid_t space = H5Screate(H5S_SCALAR);
    const hid_t attribute
        = H5Acreate2(object, name, H5T_STD_I32LE, space, H5P_DEFAULT, H5P_DEFAULT);
    const bool written = attribute >= 0 && H5Awrite(attribute, H5T_NATIVE_INT, &value) >= 0;
    if (attribute >= 0)
        H5Aclose(attribute);
    H5Sclose(space);
    return written;
}

bool readStringAttribute(hid_t object, const char *name, QString *value)
{
    if (H5Aexists(object, name) <= 0)
        return false;
    const hid_t attribute = H5Aopen(object, name, H5P_DEFAULT);
    if (attribute < 0)
        return false;
    const hid_t stored = H5Aget_type(attribute);
    const hid_t space = H5Aget_space(attribute);
    bool read = false;
    const size_t size = H5Tget_size(stored);
    if (H5Tget_class(stored) == H5T_STRING && H5Tis_variable_str(stored) == 0 && size > 0
        && size < (1u << 20) && H5Sget_simple_extent_npoints(space) == 1) {
        QByteArray text(int(size), '\0');
        if (H5Aread(attribute, stored, text.data()) >= 0) {
            *value
                = QString::fromUtf8(text.constData(), int(qstrnlen(text.constData(), uint(size))));
            read = true;
        }
    } else if (H5Tget_class(stored) == H5T_STRING && H5Tis_variable_str(stored) > 0
        && H5Sget_simple_extent_npoints(space) == 1) {
        const hid_t memory = H5Tcopy(H5T_C_S1);
        H5Tset_size(memory, H5T_VARIABLE);
        H5Tset_cset(memory, H5Tget_cset(stored));
        char *text = nullptr;
        if (H5Aread(attribute, memory, &text) >= 0 && text) {
            *value = QString::fromUtf8(text, int(qstrnlen(text, 1u << 20)));
            read = true;
        }
        if (text)
            H5free_memory(text);
        H5Tclose(memory);
    }
    H5Sclose(space);
    H5Tclose(stored);
    H5Aclose(attribute);
    return read;
}

bool readIntAttribute(hid_t object, const char *name, int *value)
{
    if (H5Aexists(object, name) <= 0)
        return false;
    const hid_t attribute = H5Aopen(object, name, H5P_DEFAULT);
    if (attribute < 0)
        return false;
    const hid_t stored = H5Aget_type(attribute);
    const hid_t space = H5Aget_space(attribute);
    const bool read = H5Tget_class(stored) == H5T_INTEGER
        && H5Sget_simple_extent_npoints(space) == 1
        && H5Aread(attribute, H5T_NATIVE_INT, value) >= 0;
    H5Sclose(space);
    H5Tclose(stored);
    H5Aclose(attribute);
    return read;
}

void closeAll(int64_t *datasets)
{
    for (int d = 0; d < DatasetCount; ++d) {
        if (datasets[d] >= 0)
            H5Dclose(datasets[d]);
        datasets[d] = -1;
    }
}

} // namespace Hdf5Layout
