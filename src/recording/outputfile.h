// SPDX-License-Identifier: MIT
// Where recorded frames go, by one rule: a user's file is never destroyed. A regular file is
// written under a temporary name beside it and takes its name only when committed, so a run that
// fails keeps the old file and a half-written file never looks complete. A symbolic link stays a
// link: the file it points to is the one replaced. Standard output, devices and pipes are written
// directly.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

class OutputFile {
public:
    OutputFile();
    // Discards a temporary that was never committed.
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // What an output may be. A picture is a file, never a device or a pipe; so is a file that is
    // written out of order (HDF5 seeks), which cannot be standard output either.
    enum class Accept { AnyFile, RegularFileOnly, SeekableFile };

    // "" or "-" is standard output (with AnyFile; a file named "-" with RegularFileOnly; refused
    // with SeekableFile). Creates the temporary (or opens the device or pipe, once, without
    // waiting: a FIFO that nobody reads yet is refused); false with errorString() set when it
    // cannot ("not a regular file (a FIFO)" for what `accept` refuses; nothing is touched then).
    // errorString() is the system's reason, for every call.
    bool open(const QString &path, Accept accept = Accept::AnyFile);
    // What became of the file at `path` when a write that failed left it alone: "PATH left as it
    // was", or that none was made.
    static QString untouched(const QString &path);
    // The name for messages: the path, or "standard output".
    QString description() const { return name; }
    // The file written until commit(): the temporary, or the target itself.
    QString writingPath() const { return temporaryPath.isEmpty() ? name : temporaryPath; }
    // Open, and neither committed nor discarded yet.
    bool isOpen() const { return file && file->isOpen(); }
    // Written under a temporary name that takes the target's when committed (a regular file).
    bool replacesFile() const { return !temporaryPath.isEmpty(); }

    // Gathers writes up to `bytes` before they go to the system (0, the default: none gathered),
    // for a writer of many small frames.
    void setBufferSize(int bytes) { bufferLimit = bytes; }
    // Writes every byte, resuming after signals and short writes.
    bool write(const char *data, qint64 size);
    bool write(const QByteArray &bytes) { return write(bytes.constData(), bytes.size()); }
    // Bytes gathered and not yet handed to the system.
    int bufferedBytes() const { return buffer.size(); }
    // What has been written so far ends a whole unit (a frame): after a write error the file is
    // cut back to the end of the last unit that reached it whole.
    void endUnit();
    // Units that reached the file whole.
    int64_t unitsInFile() const { return unitsDone; }
    // Hands gathered bytes to the system.
    bool flush();
    // A file that replaces a user's file (not a device or a pipe) goes to the disk every `every`
    // while it is written, on a thread of its own, so that a power cut loses no more than that
    // of it; commit() makes it whole on the disk in any case. After open().
    void syncToDiskEvery(std::chrono::milliseconds every);
    // How often the file went to the disk while it was written.
    int64_t diskSyncs() const;
    // Makes what was written the file at the target path. False (temporary kept for the caller to
    // discard) when the data cannot be made durable.
    bool commit();
    // After a write error: makes what reached the file whole before it (every write but the failed
    // one, and of that one the units it wrote whole) the file at the target path, so that nothing
    // already recorded is lost. A device or a pipe keeps what it took.
    bool commitWhatWasWritten();
    // Throws the temporary away; the target keeps what it held before.
    void discard();
    // For a writer that keeps the file open itself (HDF5): `finish` runs once, before the file is
    // made durable or discarded; false with its reason stops the commit.
    void setFinisher(std::function<bool(QString *error)> finish) { finisher = std::move(finish); }

    QString errorString() const { return error; }

private:
    bool fail(const QString &reason);
    bool openInPlace(const QString &path, QIODevice::OpenMode mode);
    bool writeAll(const char *data, qint64 size);
    // Counts the units that the bytes in the file now end.
    void countUnits();
    class DiskSync;
    bool makeDurableAndRename();
    bool runFinisher();

    std::unique_ptr<QFile> file;
    QString name;
    QString targetPath;
    QString temporaryPath; // empty when writing the target directly
    QString error;
    QByteArray buffer;
    int bufferLimit = 0;
    qint64 wholeBytes = 0; // bytes of the writes that went through completely
    qint64 reachedBytes = 0; // bytes in the file, with those of a write that failed half-way
    std::deque<qint64> unitEnds; // where the units not yet in the file end
    qint64 lastUnitEnd = 0; // end of the last unit in the file
    int64_t unitsDone = 0;
    std::function<bool(QString *error)> finisher;
    std::unique_ptr<DiskSync> diskSync; // stopped before the file is closed, resized or renamed
};
