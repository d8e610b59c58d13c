// TIniFile: reading, lookup, in-place editing and safe writing of INI files.
#include "lang/IniFile.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <limits>

namespace tilvo {

namespace {

bool IsTrimmed(unsigned char c) {
    return c <= ' ';
}

std::string_view Trim(std::string_view s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && IsTrimmed(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && IsTrimmed(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// One iconv descriptor for the life of a conversion.
class TIconv {
  public:
    TIconv() {
        cd_ = iconv_open("UTF-8", "CP932");
        if (cd_ == reinterpret_cast<iconv_t>(-1)) cd_ = iconv_open("UTF-8", "SHIFT_JIS");
    }
    ~TIconv() {
        if (Valid()) iconv_close(cd_);
    }
    TIconv(const TIconv&) = delete;
    TIconv& operator=(const TIconv&) = delete;
    bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return cd_; }

  private:
    iconv_t cd_;
};

std::string ShiftJisToUtf8(std::string_view in) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    TIconv conv;
    if (!conv.Valid()) {
        // No converter: keep ASCII, replace the rest.
        std::string out;
        for (char c : in) {
            if (static_cast<unsigned char>(c) < 0x80)
                out += c;
            else
                out += kReplacement;
        }
        return out;
    }
    std::string out;
    out.reserve(in.size() * 3 / 2 + 4);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char buffer[1024];
    while (srcLeft > 0) {
        char* dst = buffer;
        size_t dstLeft = sizeof buffer;
        size_t r = iconv(conv.Get(), &src, &srcLeft, &dst, &dstLeft);
        out.append(buffer, size_t(dst - buffer));
        if (r == size_t(-1)) {
            if (errno == E2BIG) continue;
            // An invalid or cut-off sequence: one replacement character, then go on after the byte.
            out += kReplacement;
            ++src;
            --srcLeft;
            iconv(conv.Get(), nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

bool ParseInt32(std::string_view s, int32_t& value) {
    if (s.empty()) return false;
    const char* first = s.data();
    const char* last = s.data() + s.size();
    if (*first == '+') {
        ++first;
        if (first == last || *first == '-') return false;
    }
    int64_t v = 0;
    auto [ptr, ec] = std::from_chars(first, last, v);
    if (ec != std::errc() || ptr != last) return false;
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        return false;
    value = int32_t(v);
    return true;
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            const auto t = static_cast<unsigned char>(bytes[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

std::string DecodeIniText(std::string_view bytes) {
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    if (IsValidUtf8(bytes)) return std::string(bytes);
    return ShiftJisToUtf8(bytes);
}

std::optional<std::string> ReadFileBytes(const std::string& fileName) {
    const int fd = open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct TFdCloser {
        int fd;
        ~TFdCloser() { close(fd); }
    } closer{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    std::string bytes;
    char buffer[65536];
    while (true) {
        const ssize_t r = read(fd, buffer, sizeof buffer);
        if (r < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (r == 0) break;
        bytes.append(buffer, size_t(r));
    }
    return bytes;
}

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {
    const std::optional<std::string> bytes = ReadFileBytes(fileName_);
    if (!bytes) return;
    fileFound_ = true;
    SetText(*bytes);
}

void TIniFile::SetText(std::string_view text) {
    std::string decoded = DecodeIniText(text);
    lines_.clear();
    bool inSection = false;
    size_t pos = 0;
    while (pos < decoded.size()) {
        size_t end = decoded.find('\n', pos);
        if (end == std::string::npos) end = decoded.size();
        std::string_view raw(decoded.data() + pos, end - pos);
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        pos = end + 1;

        TLine line;
        line.text = std::string(raw);
        const std::string_view t = Trim(raw);
        if (!t.empty() && t.front() != ';') {
            if (t.front() == '[' && t.back() == ']' && t.size() >= 2) {
                line.kind = TLineKind::Section;
                line.name = std::string(Trim(t.substr(1, t.size() - 2)));
                inSection = true;
            } else if (inSection) {
                const size_t eq = t.find('=');
                if (eq != std::string_view::npos) {
                    line.kind = TLineKind::Entry;
                    line.name = std::string(Trim(t.substr(0, eq)));
                    line.value = std::string(Trim(t.substr(eq + 1)));
                }
            }
        }
        lines_.push_back(std::move(line));
    }
}

std::string TIniFile::Text() const {
    std::string out;
    for (const TLine& line : lines_) {
        out += line.text;
        out += '\n';
    }
    return out;
}

ptrdiff_t TIniFile::FindSection(std::string_view section) const {
    for (ptrdiff_t i = ptrdiff_t(lines_.size()) - 1; i >= 0; --i) {
        const TLine& line = lines_[size_t(i)];
        if (line.kind == TLineKind::Section && SameName(line.name, section)) return i;
    }
    return -1;
}

ptrdiff_t TIniFile::FindEntry(ptrdiff_t header, std::string_view key) const {
    ptrdiff_t found = -1;
    for (size_t i = size_t(header) + 1; i < lines_.size(); ++i) {
        const TLine& line = lines_[i];
        if (line.kind == TLineKind::Section) break;
        if (line.kind == TLineKind::Entry && SameName(line.name, key)) found = ptrdiff_t(i);
    }
    return found;
}

bool TIniFile::SectionExists(std::string_view section) const {
    return FindSection(section) >= 0;
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
    const ptrdiff_t header = FindSection(section);
    return header >= 0 && FindEntry(header, key) >= 0;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view def) const {
    const ptrdiff_t header = FindSection(section);
    if (header < 0) return std::string(def);
    const ptrdiff_t entry = FindEntry(header, key);
    if (entry < 0) return std::string(def);
    return lines_[size_t(entry)].value;
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key, int32_t def) const {
    const ptrdiff_t header = FindSection(section);
    if (header < 0) return def;
    const ptrdiff_t entry = FindEntry(header, key);
    if (entry < 0) return def;
    int32_t value;
    return ParseInt32(lines_[size_t(entry)].value, value) ? value : def;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    if (section.empty() || Trim(section) != section || HasLineBreak(section) ||
        section.find(']') != std::string_view::npos)
        throw EIniFileError("invalid INI section name \"" + std::string(section) + "\"");
    if (key.empty() || Trim(key) != key || HasLineBreak(key) ||
        key.find('=') != std::string_view::npos || key.front() == ';' || key.front() == '[')
        throw EIniFileError("invalid INI key name \"" + std::string(key) + "\"");
    if (HasLineBreak(value) || Trim(value) != value)
        throw EIniFileError("INI value of \"" + std::string(key) +
                            "\" cannot be stored in one line");

    TLine entry;
    entry.kind = TLineKind::Entry;
    entry.name = std::string(key);
    entry.value = std::string(value);
    entry.text = entry.name + "=" + entry.value;

    ptrdiff_t header = FindSection(section);
    if (header < 0) {
        if (!lines_.empty() && !Trim(lines_.back().text).empty()) lines_.push_back(TLine{});
        TLine head;
        head.kind = TLineKind::Section;
        head.name = std::string(section);
        head.text = "[" + head.name + "]";
        lines_.push_back(std::move(head));
        lines_.push_back(std::move(entry));
        return;
    }
    const ptrdiff_t existing = FindEntry(header, key);
    if (existing >= 0) {
        lines_[size_t(existing)] = std::move(entry);
        return;
    }
    // After the last non-blank line of the section, so blank lines between sections stay.
    size_t insertAt = size_t(header) + 1;
    for (size_t i = size_t(header) + 1; i < lines_.size(); ++i) {
        if (lines_[i].kind == TLineKind::Section) break;
        if (!Trim(lines_[i].text).empty()) insertAt = i + 1;
    }
    lines_.insert(lines_.begin() + ptrdiff_t(insertAt), std::move(entry));
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::UpdateFile() const {
    namespace fs = std::filesystem;
    auto fail = [this](const std::string& cause) {
        throw EIniFileError("Unable to write to " + fileName_ + ": " + cause);
    };
    if (fileName_.empty()) throw EIniFileError("Unable to write an INI file without a name");

    const fs::path target(fileName_);
    fs::path folder = target.parent_path();
    if (!folder.empty()) {
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (ec) fail(ec.message());
    }
    std::string tempName = (folder.empty() ? fs::path(".") : folder).string() + "/." +
                           target.filename().string() + ".XXXXXX";
    const int fd = mkstemp(tempName.data());
    if (fd < 0) fail(std::strerror(errno));

    // Removes the temporary file on every path that does not reach the rename.
    struct TTempGuard {
        std::string name;
        int fd;
        bool done = false;
        ~TTempGuard() {
            if (fd >= 0) close(fd);
            if (!done) unlink(name.c_str());
        }
    } guard{tempName, fd};

    const std::string text = Text();
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t r = write(fd, text.data() + written, text.size() - written);
        if (r < 0) {
            if (errno == EINTR) continue;
            fail(std::strerror(errno));
        }
        written += size_t(r);
    }
    struct stat st {};
    mode_t mode = 0644;
    if (stat(fileName_.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (fchmod(fd, mode) != 0) fail(std::strerror(errno));
    if (fsync(fd) != 0) fail(std::strerror(errno));
    const int closeResult = close(fd);
    guard.fd = -1;
    if (closeResult != 0) fail(std::strerror(errno));
    if (rename(tempName.c_str(), fileName_.c_str()) != 0) fail(std::strerror(errno));
    guard.done = true;
}

}  // namespace tilvo
