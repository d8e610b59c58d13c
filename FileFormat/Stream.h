// Streams the readers, writers and the Exif code work on: an abstract TStream, a growable memory
// stream, a plain file stream, and a file stream that replaces its target only when committed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include "Effector/Exception.h"

namespace tilvo {

// A file could not be opened, read or written; the text names the file and the cause.
class EFileError : public Exception {
public:
    using Exception::Exception;
};

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
    virtual ~TStream() = default;
    // Reads up to `count` bytes; answers how many were read (0 at the end).
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    // Writes all `count` bytes or throws EFileError.
    virtual void Write(const void* buffer, int64_t count) = 0;
    // Answers the new position. Seeking before the start throws.
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual int64_t Size() = 0;

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }
    // Reads exactly `count` bytes or throws EFileError "stream read error".
    void ReadBuffer(void* buffer, int64_t count);
    // The whole stream from position 0, whatever the current position; the position ends at the end.
    std::vector<uint8_t> ReadAll();
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<uint8_t> data) : data_(std::move(data)) {}
    int64_t Read(void* buffer, int64_t count) override;
    void Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return int64_t(data_.size()); }

    const std::vector<uint8_t>& Memory() const { return data_; }
    std::vector<uint8_t>& Memory() { return data_; }
    void Clear() { data_.clear(); pos_ = 0; }
    void LoadFromFile(const std::string& fileName);
    // Writes the whole content to a file through TSafeFileStream.
    void SaveToFile(const std::string& fileName) const;

private:
    std::vector<uint8_t> data_;
    int64_t pos_ = 0;
};

// The whole content of a file (or of a stream, from its start), read once into memory of its own;
// a large one into whole 2 MiB pages where the system offers them (AdviseLargePages). Throws
// EFileError as TFileStream does.
class TFileBytes {
public:
    explicit TFileBytes(const std::string& fileName);
    explicit TFileBytes(TStream& stream);
    ~TFileBytes();
    TFileBytes(const TFileBytes&) = delete;
    TFileBytes& operator=(const TFileBytes&) = delete;
    std::span<const uint8_t> Bytes() const { return {data_, size_}; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t mapped_ = 0;  // the length of the mapping data_ starts, 0 when it is in small_
    std::vector<uint8_t> small_;

    void Read(TStream& stream);
};

// A file opened for reading (fmOpenRead) or created for writing (fmCreate, truncating).
class TFileStream : public TStream {
public:
    enum TMode { fmOpenRead, fmCreate };
    TFileStream(const std::string& fileName, TMode mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;
    int64_t Read(void* buffer, int64_t count) override;
    void Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override;
    const std::string& FileName() const { return fileName_; }

protected:
    TFileStream() = default;  // for subclasses that open their own file
    void Close();  // flushes and closes; throws EFileError when the data did not reach the file
    FILE* file_ = nullptr;
    std::string fileName_;
    std::string shownName_;  // the name error messages give: the file the user asked for
};

// The stream every writer saves through, so that a failed save never damages the file that was
// there. How the bytes reach the target depends on what the target is:
// - a regular file in a folder that can be written, or a new file: the bytes go to a temporary
//   file beside it (named as below); Commit() flushes it to disk, gives it the target's permission
//   bits (or the usual ones for a new file) and renames it over the target. Without Commit() the
//   temporary file is removed and the target is untouched. Other hard links to the old file keep
//   the old picture.
// - something that is not a regular file (a named pipe, a device such as /dev/stdout or
//   /dev/null), or any name under /dev/ or /proc/: it is never replaced; the bytes are kept in
//   memory and Commit() writes them to it directly.
// - a writable regular file in a folder that cannot be written (no temporary file can be made
//   there): the bytes are kept in memory; Commit() extends the file to its final size first (so a
//   full disk fails before any byte changes), then rewrites it in place. The file keeps its
//   inode, owner and permission bits, and every hard link to it shows the new picture.
// A regular file without write permission (for anyone, root included, when none of its write
// bits is set) is refused at once with "Permission denied": Save never replaces a read-only file.
class TSafeFileStream : public TFileStream {
public:
    enum class TTargetKind { Replace, Direct, InPlace };

    explicit TSafeFileStream(const std::string& targetName);
    ~TSafeFileStream() override;
    int64_t Read(void* buffer, int64_t count) override;
    void Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override;
    void Commit();
    const std::string& TargetName() const { return targetName_; }
    TTargetKind TargetKind() const { return kind_; }

private:
    void CommitReplace();
    void CommitFromMemory();

    std::string targetName_;
    std::string resolved_;  // the file the bytes go to (a symbolic link is followed)
    TTargetKind kind_ = TTargetKind::Replace;
    TMemoryStream memory_;  // the whole file, for the kinds that write at Commit()
    bool committed_ = false;
    int tempSlot_ = -1;  // the temporary file's place on the list a signal handler removes
};

// Temporary files: TSafeFileStream names its temporary file ".<name>.tilvo-<host>-<pid>-<random>"
// beside the target. Before its first temporary file in a folder, a process removes the ones
// that processes of this host left there and that no longer run (killed outright); files of other
// hosts or of running processes stay.
//
// Installs handlers for SIGHUP, SIGINT and SIGTERM (those not ignored) that remove every temporary
// file a save of this process has open, then end the process by the same signal.
void RemoveTemporaryFilesOnSignals();
// Whether a file name (without its folder) is one of those temporary names.
bool IsTemporaryFileName(const std::string& name);

// Reads a whole file into memory; throws EFileError.
std::vector<uint8_t> ReadWholeFile(const std::string& fileName);
// Writes bytes to a file through TSafeFileStream; throws EFileError.
void WriteWholeFile(const std::string& fileName, const void* data, int64_t size);

// The answer of a Save or Save As writer: runs `write` and answers true when it returns, false
// when it throws, with the exception's text in *why when one is given. Writers reach the file
// through TSafeFileStream, so a false answer leaves an existing file as it was.
template <class Write>
bool AnswerWriter(std::string* why, Write&& write) {
    try {
        write();
        return true;
    } catch (const std::exception& e) {
        if (why) *why = e.what();
        return false;
    }
}

}  // namespace tilvo
