// Memory, file and safely replaced file streams.
#include "Stream.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <set>

#include "Effector/Bitmap.h"

namespace tilvo {

namespace {

std::string Quoted(const std::string& fileName) {
    return "\"" + fileName + "\"";
}

[[noreturn]] void ThrowFileError(const char* what, const std::string& fileName, int err) {
    throw EFileError(std::string(what) + " " + Quoted(fileName) + ": " + std::strerror(err));
}

// The permission bits a newly created file gets: 0666 less the process's umask.
mode_t NewFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

// ---- TStream ----

void TStream::ReadBuffer(void* buffer, int64_t count) {
    if (count < 0 || Read(buffer, count) != count) throw EFileError("stream read error");
}

std::vector<uint8_t> TStream::ReadAll() {
    const int64_t size = Size();
    std::vector<uint8_t> data(size_t(std::max<int64_t>(size, 0)));
    SetPosition(0);
    ReadBuffer(data.data(), int64_t(data.size()));
    return data;
}

// ---- TFileBytes ----

TFileBytes::TFileBytes(const std::string& fileName) {
    TFileStream file(fileName, TFileStream::fmOpenRead);
    Read(file);
}

TFileBytes::TFileBytes(TStream& stream) {
    Read(stream);
}

void TFileBytes::Read(TStream& file) {
    const int64_t size = file.Size();
    file.SetPosition(0);
    if (size <= 0) return;
    constexpr size_t kHuge = size_t(2) << 20;
    if (uint64_t(size) < kHuge || uint64_t(size) > uint64_t(SIZE_MAX) - 2 * kHuge) {
        small_.resize(size_t(size));
        data_ = small_.data();
    } else {
        // A mapping one page longer than needed, trimmed to start on a 2 MiB boundary.
        const size_t length = (size_t(size) + kHuge - 1) / kHuge * kHuge;
        void* p = mmap(nullptr, length + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        if (p == MAP_FAILED) throw EOutOfMemory(int64_t(length));
        const uintptr_t start = reinterpret_cast<uintptr_t>(p);
        const uintptr_t aligned = (start + kHuge - 1) / kHuge * kHuge;
        if (aligned > start) munmap(p, aligned - start);
        if (start + kHuge > aligned) munmap(reinterpret_cast<void*>(aligned + length), start + kHuge - aligned);
        data_ = reinterpret_cast<uint8_t*>(aligned);
        mapped_ = length;
        AdviseLargePages(data_, length);
    }
    size_ = size_t(size);
    try {
        file.ReadBuffer(data_, size);
    } catch (...) {
        if (mapped_ != 0) munmap(data_, mapped_);
        throw;
    }
}

TFileBytes::~TFileBytes() {
    if (mapped_ != 0) munmap(data_, mapped_);
}

// ---- TMemoryStream ----

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    if (count <= 0 || pos_ >= int64_t(data_.size())) return 0;
    const int64_t n = std::min<int64_t>(count, int64_t(data_.size()) - pos_);
    std::memcpy(buffer, data_.data() + pos_, size_t(n));
    pos_ += n;
    return n;
}

void TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return;
    const int64_t end = CheckedAdd(pos_, count);
    if (end > int64_t(data_.size())) data_.resize(size_t(end));  // a gap after a seek reads as 0
    std::memcpy(data_.data() + pos_, buffer, size_t(count));
    pos_ = end;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = 0;
    if (origin == TSeekOrigin::soCurrent) base = pos_;
    if (origin == TSeekOrigin::soEnd) base = int64_t(data_.size());
    if ((offset < 0 && base + offset < 0) || (offset > 0 && offset > INT64_MAX - base))
        throw EFileError("stream seek error");
    pos_ = base + offset;
    return pos_;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    data_ = ReadWholeFile(fileName);
    pos_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& fileName) const {
    WriteWholeFile(fileName, data_.data(), int64_t(data_.size()));
}

// ---- TFileStream ----

TFileStream::TFileStream(const std::string& fileName, TMode mode)
    : fileName_(fileName), shownName_(fileName) {
    if (mode == fmOpenRead) {
        file_ = std::fopen(fileName.c_str(), "rb");
        if (!file_) ThrowFileError("Cannot open file", fileName, errno);
        struct stat st {};
        if (fstat(fileno(file_), &st) == 0 && S_ISDIR(st.st_mode)) {
            std::fclose(file_);
            file_ = nullptr;
            ThrowFileError("Cannot open file", fileName, EISDIR);
        }
    } else {
        file_ = std::fopen(fileName.c_str(), "wb");
        if (!file_) ThrowFileError("Cannot create file", fileName, errno);
    }
}

TFileStream::~TFileStream() {
    if (file_) std::fclose(file_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
    if (count <= 0) return 0;
    const size_t n = std::fread(buffer, 1, size_t(count), file_);
    if (n < size_t(count) && std::ferror(file_))
        ThrowFileError("Cannot read file", shownName_, errno);
    return int64_t(n);
}

void TFileStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return;
    errno = 0;
    if (std::fwrite(buffer, 1, size_t(count), file_) != size_t(count))
        ThrowFileError("Cannot write file", shownName_, errno ? errno : EIO);
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                       : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                          : SEEK_END;
    if (fseeko(file_, off_t(offset), whence) != 0)
        ThrowFileError("Cannot seek in file", shownName_, errno);
    const off_t pos = ftello(file_);
    if (pos < 0) ThrowFileError("Cannot seek in file", shownName_, errno);
    return int64_t(pos);
}

int64_t TFileStream::Size() {
    if (std::fflush(file_) != 0) ThrowFileError("Cannot write file", shownName_, errno);
    struct stat st {};
    if (fstat(fileno(file_), &st) != 0) ThrowFileError("Cannot read file", shownName_, errno);
    return int64_t(st.st_size);
}

void TFileStream::Close() {
    if (!file_) return;
    FILE* f = file_;
    file_ = nullptr;
    const bool flushed = std::fflush(f) == 0;
    const int err = errno;
    const bool closed = std::fclose(f) == 0;
    if (!flushed) ThrowFileError("Cannot write file", shownName_, err);
    if (!closed) ThrowFileError("Cannot write file", shownName_, errno);
}

// ---- TSafeFileStream ----

namespace {

// The file a save replaces: a symbolic link is followed, so the file it points to is replaced
// and the link itself stays.
std::string ResolveTarget(const std::string& targetName) {
    struct stat st {};
    if (lstat(targetName.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = realpath(targetName.c_str(), nullptr)) {
            std::string resolved(real);
            std::free(real);
            return resolved;
        }
    }
    return targetName;
}

// ---- temporary files ----

// Every temporary file a save has open, so that a signal handler can remove them: fixed slots,
// each path guarded by a sequence count (odd while it is written), read without a lock.
constexpr int kTempSlots = 64;
struct TTempSlot {
    std::atomic<bool> Claimed{false};
    std::atomic<bool> Live{false};
    std::atomic<uint32_t> Sequence{0};
    char Path[PATH_MAX];
};
TTempSlot g_tempSlots[kTempSlots];

// Answers the slot now holding `path`, -1 when none is free or the path is too long (the file is
// then only removed by the stream itself, or by a later run once this process is gone).
int RegisterTempFile(const std::string& path) {
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < kTempSlots; ++i) {
        TTempSlot& slot = g_tempSlots[i];
        bool expected = false;
        if (!slot.Claimed.compare_exchange_strong(expected, true)) continue;
        slot.Sequence.fetch_add(1);
        std::memcpy(slot.Path, path.c_str(), path.size() + 1);
        slot.Sequence.fetch_add(1);
        slot.Live.store(true);
        return i;
    }
    return -1;
}

void UnregisterTempFile(int slot) {
    if (slot < 0) return;
    g_tempSlots[slot].Live.store(false);
    g_tempSlots[slot].Claimed.store(false);
}

// Async-signal-safe: only atomics, memcpy and unlink.
void RemoveLiveTempFiles() {
    char path[PATH_MAX];
    for (TTempSlot& slot : g_tempSlots) {
        if (!slot.Live.load()) continue;
        const uint32_t before = slot.Sequence.load();
        if (before & 1) continue;
        std::memcpy(path, slot.Path, sizeof path);
        path[PATH_MAX - 1] = '\0';
        if (slot.Sequence.load() != before || !slot.Live.load()) continue;
        ::unlink(path);
    }
}

extern "C" void RemoveTempFilesAndDie(int sig) {
    const int saved = errno;
    RemoveLiveTempFiles();
    errno = saved;
    // The handler was reset on entry: the signal, raised again, ends the process as it would
    // have without it once the handler returns.
    ::raise(sig);
}

// This machine's name as temporary names carry it: letters, digits, '-' and '_' only.
const std::string& HostTag() {
    static const std::string tag = [] {
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
            std::strcpy(host, "localhost");
        std::string t(host);
        for (char& c : t)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
        return t;
    }();
    return tag;
}

constexpr const char* kTempMark = ".tilvo-";
constexpr size_t kTempRandom = 6;

// The parts of a temporary name made by TempName: the host and the process id; false for any
// other name.
bool ParseTempName(const std::string& name, std::string& host, long& pid) {
    if (name.empty() || name[0] != '.') return false;
    const size_t mark = name.rfind(kTempMark);
    if (mark == std::string::npos || mark == 0) return false;
    const std::string rest = name.substr(mark + std::strlen(kTempMark));
    if (rest.size() < kTempRandom + 4 || rest[rest.size() - kTempRandom - 1] != '-') return false;
    const std::string head = rest.substr(0, rest.size() - kTempRandom - 1);
    const size_t dash = head.rfind('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 == head.size()) return false;
    const std::string digits = head.substr(dash + 1);
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    host = head.substr(0, dash);
    pid = std::stol(digits);
    return pid > 0;
}

// ".<name>.tilvo-<host>-<pid>-<random>" beside the target, the name cut where the whole would not
// fit a folder entry.
std::string TempName(const std::string& target, uint64_t random) {
    const size_t slash = target.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string tail = kTempMark + HostTag() + "-" + std::to_string(::getpid()) + "-";
    for (size_t i = 0; i < kTempRandom; ++i, random /= 36) tail += kDigits[random % 36];
    const size_t room = 255 > tail.size() + 1 ? 255 - tail.size() - 1 : 0;
    if (base.size() > room) base.resize(room);
    return dir + "." + base + tail;
}

// Once per folder and process, before the first temporary file there: the temporary files that
// processes of this machine left when they were killed outright (their process no longer runs)
// are removed. Files of other machines, of running processes and every other file stay.
void RemoveStaleTempFiles(const std::string& folder) {
    static std::mutex lock;
    static std::set<std::string> done;
    {
        const std::lock_guard<std::mutex> l(lock);
        if (!done.insert(folder).second) return;
    }
    DIR* d = ::opendir(folder.c_str());
    if (d == nullptr) return;
    while (const dirent* e = ::readdir(d)) {
        std::string host;
        long pid = 0;
        if (!ParseTempName(e->d_name, host, pid) || host != HostTag() || pid == ::getpid())
            continue;
        if (::kill(pid_t(pid), 0) == 0 || errno != ESRCH) continue;  // running, or not ours to ask
        const std::string path = folder + "/" + e->d_name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
    }
    ::closedir(d);
}

}  // namespace

namespace {

std::string FolderOf(const std::string& name);

// Names the system hands out for devices and for the process's own descriptors (/dev/stdout,
// /dev/fd/1, /proc/self/fd/1): never replaced. A file in a folder below /dev, such as the memory
// file system /dev/shm, is an ordinary file.
bool IsSystemName(const std::string& name) {
    return name.starts_with("/proc/") || name.starts_with("/dev/fd/") || FolderOf(name) == "/dev";
}

// A file nobody may write (no write bit set) is read-only, also for a process that could write it
// anyway; otherwise the process's own access rights decide.
bool IsWritableFile(const std::string& name, const struct stat& st) {
    return (st.st_mode & 0222) != 0 && ::access(name.c_str(), W_OK) == 0;
}

std::string FolderOf(const std::string& name) {
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string(".")
           : slash == 0               ? std::string("/")
                                      : name.substr(0, slash);
}

// Writes all of `size` bytes at `offset` (or at the descriptor's position when offset < 0);
// answers 0 or the errno of the failure.
int WriteFully(int fd, const uint8_t* data, int64_t size, int64_t offset) {
    while (size > 0) {
        const size_t chunk = size_t(std::min<int64_t>(size, int64_t(1) << 30));
        const ssize_t n = offset < 0 ? ::write(fd, data, chunk) : ::pwrite(fd, data, chunk, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        data += n;
        size -= n;
        if (offset >= 0) offset += n;
    }
    return 0;
}

}  // namespace

TSafeFileStream::TSafeFileStream(const std::string& targetName)
    : TFileStream(), targetName_(targetName) {
    if (targetName.empty()) throw EFileError("Cannot create file \"\": No such file or directory");
    shownName_ = targetName;
    resolved_ = ResolveTarget(targetName);
    struct stat st {};
    const bool exists = stat(targetName.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) ThrowFileError("Cannot create file", targetName, EISDIR);
    if (IsSystemName(targetName) || IsSystemName(resolved_) || (exists && !S_ISREG(st.st_mode))) {
        kind_ = TTargetKind::Direct;
        resolved_ = targetName;
        return;
    }
    if (exists) {
        if (!IsWritableFile(resolved_, st)) ThrowFileError("Cannot write file", targetName, EACCES);
        if (::access(FolderOf(resolved_).c_str(), W_OK | X_OK) != 0) {
            kind_ = TTargetKind::InPlace;
            return;
        }
    }
    RemoveStaleTempFiles(FolderOf(resolved_));
    // The name is on the list of live temporary files before the file exists, so that a signal
    // at any moment finds it.
    static std::atomic<uint64_t> counter{0};
    std::random_device entropy;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        const uint64_t random = (uint64_t(entropy()) << 32) ^ entropy() ^ counter++;
        fileName_ = TempName(resolved_, random);
        tempSlot_ = RegisterTempFile(fileName_);
        fd = ::open(fileName_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) break;
        const int err = errno;
        UnregisterTempFile(tempSlot_);
        tempSlot_ = -1;
        if (err != EEXIST || attempt > 100) ThrowFileError("Cannot create file", targetName, err);
    }
    file_ = fdopen(fd, "w+b");
    if (!file_) {
        const int err = errno;
        ::close(fd);
        ::unlink(fileName_.c_str());
        UnregisterTempFile(tempSlot_);
        tempSlot_ = -1;
        ThrowFileError("Cannot create file", targetName, err);
    }
}

TSafeFileStream::~TSafeFileStream() {
    if (!committed_ && file_) {
        std::fclose(file_);
        file_ = nullptr;
        ::unlink(fileName_.c_str());
    }
    UnregisterTempFile(tempSlot_);
}

int64_t TSafeFileStream::Read(void* buffer, int64_t count) {
    if (kind_ != TTargetKind::Replace) return memory_.Read(buffer, count);
    return TFileStream::Read(buffer, count);
}

void TSafeFileStream::Write(const void* buffer, int64_t count) {
    if (committed_)
        throw EFileError("Cannot write file " + Quoted(targetName_) + ": stream closed");
    if (kind_ != TTargetKind::Replace) return memory_.Write(buffer, count);
    TFileStream::Write(buffer, count);
}

int64_t TSafeFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    if (kind_ != TTargetKind::Replace) return memory_.Seek(offset, origin);
    return TFileStream::Seek(offset, origin);
}

int64_t TSafeFileStream::Size() {
    if (kind_ != TTargetKind::Replace) return memory_.Size();
    return TFileStream::Size();
}

void TSafeFileStream::Commit() {
    if (committed_) return;
    if (kind_ == TTargetKind::Replace)
        CommitReplace();
    else
        CommitFromMemory();
}

void TSafeFileStream::CommitFromMemory() {
    const std::vector<uint8_t>& bytes = memory_.Memory();
    const int64_t size = int64_t(bytes.size());
    int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
    if (kind_ == TTargetKind::Direct) {
        // A regular file reached under /dev/ or /proc/ (standard output sent to a file) is
        // rewritten whole; pipes and devices ignore the truncation.
        flags |= O_TRUNC;
    }
    // Standard output is written where the process's own descriptor stands (a file it was sent
    // to with >> keeps what it had).
    const int fd = resolved_ == "/dev/stdout" ? ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0)
                                              : ::open(resolved_.c_str(), flags);
    if (fd < 0) ThrowFileError("Cannot write file", targetName_, errno);
    auto fail = [&](int err) {
        ::close(fd);
        ThrowFileError("Cannot write file", targetName_, err);
    };
    if (kind_ == TTargetKind::InPlace) {
        // The blocks the new content needs are reserved before a byte of the old one changes:
        // a full disk fails here with the file as it was.
        if (size > 0) {
            const int err = posix_fallocate(fd, 0, off_t(size));
            if (err != 0) fail(err);
        }
        if (const int err = WriteFully(fd, bytes.data(), size, 0)) fail(err);
        if (ftruncate(fd, off_t(size)) != 0) fail(errno);
        if (fsync(fd) != 0) fail(errno);
    } else if (const int err = WriteFully(fd, bytes.data(), size, -1)) {
        fail(err);
    }
    if (::close(fd) != 0 && errno != EINTR) ThrowFileError("Cannot write file", targetName_, errno);
    committed_ = true;
}

void TSafeFileStream::CommitReplace() {
    if (!file_) throw EFileError("Cannot write file " + Quoted(targetName_) + ": stream closed");
    const std::string& target = resolved_;
    auto fail = [&](int err) {
        if (file_) {
            std::fclose(file_);
            file_ = nullptr;
        }
        ::unlink(fileName_.c_str());
        ThrowFileError("Cannot write file", targetName_, err);
    };
    if (std::fflush(file_) != 0) fail(errno);
    const int fd = fileno(file_);
    if (fsync(fd) != 0) fail(errno);
    struct stat st {};
    if (stat(target.c_str(), &st) == 0) {
        // The file may have become read-only since the stream was made.
        if (!IsWritableFile(target, st)) fail(EACCES);
        // Keep the replaced file's permission bits, and its owner where the process may set it.
        if (fchmod(fd, st.st_mode & 07777) != 0) fail(errno);
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Not allowed for an ordinary user on another's file; the file still gets replaced.
        }
    } else if (fchmod(fd, NewFileMode()) != 0) {
        fail(errno);
    }
    FILE* f = file_;
    file_ = nullptr;
    if (std::fclose(f) != 0) fail(errno);
    if (std::rename(fileName_.c_str(), target.c_str()) != 0) fail(errno);
    committed_ = true;
    // The rename itself reaches the disk with the folder; a failure here loses nothing written.
    const int dirFd = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        fsync(dirFd);
        ::close(dirFd);
    }
}

// ---- signals ----

void RemoveTemporaryFilesOnSignals() {
    for (const int sig : {SIGHUP, SIGINT, SIGTERM}) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction sa {};
        sa.sa_handler = RemoveTempFilesAndDie;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESETHAND;
        ::sigaction(sig, &sa, nullptr);
    }
}

bool IsTemporaryFileName(const std::string& name) {
    std::string host;
    long pid = 0;
    return ParseTempName(name, host, pid);
}

// ---- whole files ----

std::vector<uint8_t> ReadWholeFile(const std::string& fileName) {
    TFileStream stream(fileName, TFileStream::fmOpenRead);
    const int64_t size = stream.Size();
    std::vector<uint8_t> data(size_t(std::max<int64_t>(size, 0)));
    if (stream.Read(data.data(), int64_t(data.size())) != int64_t(data.size()))
        throw EFileError("Cannot read file " + Quoted(fileName) + ": file changed while reading");
    return data;
}

void WriteWholeFile(const std::string& fileName, const void* data, int64_t size) {
    TSafeFileStream stream(fileName);
    stream.Write(data, size);
    stream.Commit();
}

}  // namespace tilvo
