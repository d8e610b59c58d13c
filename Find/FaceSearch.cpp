// The face search on the program's side: the grey picture goes to the helper program
// tilvo-find-faces (dlib and OpenCV live there, see FaceHelper.cpp), the boxes it finds come back
// and are enlarged, joined and sorted here.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "Find/Find.h"
#include "Find/FindBoxes.h"
#include "FileFormat/CodecModule.h"

extern char** environ;

namespace tilvo {

namespace {

constexpr const char* kFaceHelper = "tilvo-find-faces";

// A file descriptor closed with the object.
class TFd {
  public:
    explicit TFd(int fd = -1) : fd_(fd) {}
    ~TFd() { Close(); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return fd_; }
    void Reset(int fd) {
        Close();
        fd_ = fd;
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

bool Cancelled(const TFindControl& control) {
    return control.Cancel && control.Cancel->load(std::memory_order_relaxed);
}

// The helper, started with its standard input, output and error on sockets of ours; waited for
// (killed first when it still runs) with the object.
class THelper {
  public:
    bool Start(const std::string& path, std::string& error) {
        int in[2], out[2], err[2];
        // Sockets rather than pipes: a helper that dies early makes our writes fail with EPIPE
        // (MSG_NOSIGNAL), not kill the program with SIGPIPE.
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) return Fail(error);
        in_.Reset(in[0]);
        TFd childIn(in[1]);
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out) != 0) return Fail(error);
        out_.Reset(out[0]);
        TFd childOut(out[1]);
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, err) != 0) return Fail(error);
        err_.Reset(err[0]);
        TFd childErr(err[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, childIn.Get(), 0);
        posix_spawn_file_actions_adddup2(&actions, childOut.Get(), 1);
        posix_spawn_file_actions_adddup2(&actions, childErr.Get(), 2);
        char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
        const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            error = "cannot start " + path + ": " + std::strerror(rc);
            return false;
        }
        return true;
    }
    ~THelper() { Wait(true); }
    THelper() = default;
    THelper(const THelper&) = delete;
    THelper& operator=(const THelper&) = delete;

    int In() const { return in_.Get(); }
    int Out() const { return out_.Get(); }
    int Err() const { return err_.Get(); }
    void CloseIn() { in_.Close(); }

    // The exit status (-1: killed or not started).
    int Wait(bool kill) {
        if (pid_ <= 0) return -1;
        if (kill) ::kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    static bool Fail(std::string& error) {
        error = std::string("cannot start the face search: ") + std::strerror(errno);
        return false;
    }
    TFd in_, out_, err_;
    pid_t pid_ = -1;
};

// Waits until `fd` is ready for `events` or the search is cancelled (checked every 100 ms).
bool WaitReady(int fd, short events, const TFindControl& control) {
    for (;;) {
        if (Cancelled(control)) return false;
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, 100);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return true;  // the read or write says what is wrong
    }
}

bool SendAll(int fd, const uint8_t* data, size_t size, const TFindControl& control) {
    while (size > 0) {
        if (!WaitReady(fd, POLLOUT, control)) return false;
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Everything the helper writes on `fd` until it closes it.
bool ReadToEnd(int fd, std::string& text, const TFindControl& control, size_t limit) {
    char buffer[4096];
    for (;;) {
        if (!WaitReady(fd, POLLIN, control)) return false;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        if (text.size() < limit) text.append(buffer, size_t(n));
    }
}

}  // namespace

int32_t DefaultSmallestFace(int32_t width, int32_t height) {
    return std::clamp(std::max(width, height) / 25, 40, 80);
}

bool FindFaces(const TBitmap& picture, const TFaceSearch& search, std::vector<TFound>& found,
               std::string& error, const TFindControl& control) {
    found.clear();
    if (picture.Empty()) return true;
    const std::string path = HelperProgramPath(kFaceHelper, error);
    if (path.empty()) {
        error = "the face search is not installed: " + error;
        return false;
    }
    std::vector<uint8_t> grey;
    GreyOf(picture, grey);
    const int32_t smallest =
        search.Small ? 40
                     : search.Smallest > 0 ? search.Smallest
                                           : DefaultSmallestFace(picture.Width(), picture.Height());
    const int flags = 1 | (search.Profiles ? 2 : 0);
    if (control.Progress) control.Progress(0);
    THelper helper;
    if (!helper.Start(path, error)) return false;
    char header[128];
    const int n = std::snprintf(header, sizeof header, "tilvo-find-faces 1 %d %d %d %d\n",
                                picture.Width(), picture.Height(), smallest, flags);
    const bool sent = SendAll(helper.In(), reinterpret_cast<const uint8_t*>(header), size_t(n),
                              control) &&
                      SendAll(helper.In(), grey.data(), grey.size(), control);
    helper.CloseIn();
    std::string out, err;
    const bool read = sent && ReadToEnd(helper.Out(), out, control, 1 << 22) &&
                      ReadToEnd(helper.Err(), err, control, 4096);
    if (Cancelled(control)) {
        error = "cancelled";
        return false;
    }
    const int status = helper.Wait(!read);
    while (!err.empty() && (err.back() == '\n' || err.back() == ' ')) err.pop_back();
    if (!read || status != 0) {
        error = "the face search failed" + (err.empty() ? std::string() : ": " + err);
        return false;
    }
    std::vector<TFaceBox> boxes;
    std::istringstream lines(out);
    std::string line;
    bool done = false;
    while (std::getline(lines, line)) {
        TFaceBox b;
        char detector[16] = {};
        long long x, y, w, h;
        if (std::sscanf(line.c_str(), "face %lld %lld %lld %lld %15s", &x, &y, &w, &h, detector) ==
                5 &&
            w > 0 && h > 0) {
            b = {double(x), double(y), double(w), double(h), detector};
            boxes.push_back(b);
        } else if (line.rfind("done ", 0) == 0) {
            done = true;
        }
    }
    if (!done) {
        error = "the face search gave no answer";
        return false;
    }
    found = FaceProposals(boxes, picture.Width(), picture.Height());
    if (control.Progress) control.Progress(100);
    return true;
}

void GreyOf(const TBitmap& picture, std::vector<uint8_t>& grey) {
    const int32_t w = picture.Width(), h = picture.Height();
    grey.resize(size_t(w) * size_t(h));
    const TBitmap* src = &picture;
    TBitmap converted;
    const TPixelFormat pf = picture.PixelFormat();
    if (pf != pf24bit && pf != pf32bit) {
        converted.Assign(picture);
        converted.SetPixelFormat(pf24bit);
        src = &converted;
    }
    const int step = src->PixelFormat() == pf32bit ? 4 : 3;
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* row = src->ScanLine(y);
        uint8_t* to = grey.data() + size_t(y) * size_t(w);
        for (int32_t x = 0; x < w; ++x, row += step)
            to[x] = uint8_t((row[0] * 1868u + row[1] * 9617u + row[2] * 4899u + 8192u) >> 14);
    }
}

}  // namespace tilvo
