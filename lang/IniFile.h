// TIniFile: the INI files of the program (settings and language files). Reads UTF-8 text, or
// Shift-JIS (CP932) text from files made for the Windows program; writes UTF-8 and keeps every
// line it does not change, replacing the file only once the new content is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Effector/Exception.h"

namespace tilvo {

// An INI file could not be written, or a value cannot be stored in one.
class EIniFileError : public Exception {
  public:
    using Exception::Exception;
};

// True when `bytes` are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(std::string_view bytes);
// The bytes of a regular file; nothing when it does not exist, is no regular file or cannot be
// read. Never throws.
std::optional<std::string> ReadFileBytes(const std::string& fileName);
// The text of an INI file as UTF-8: a UTF-8 byte-order mark is dropped; bytes that are not valid
// UTF-8 are read as Shift-JIS (CP932), and a byte that is not valid there either becomes U+FFFD.
std::string DecodeIniText(std::string_view bytes);

// One INI file held in memory. Lines are trimmed of blanks and control characters; empty lines and
// lines starting with ";" are ignored; "[name]" starts a section; "name=value" inside a section
// defines an entry (text before the first "="). Names compare without regard to ASCII letter case.
// When a section occurs twice only the later one is looked in; within a section the later of two
// equal entry names wins. Reading never fails: a missing or unreadable file is an empty one.
class TIniFile {
  public:
    TIniFile() = default;
    // Reads `fileName` if it exists; the name is kept for UpdateFile.
    explicit TIniFile(std::string fileName);

    // Replaces the content with `text` (already UTF-8, or raw bytes decoded as by DecodeIniText).
    void SetText(std::string_view text);
    // The content as it would be written.
    std::string Text() const;
    const std::string& FileName() const { return fileName_; }
    // Whether the file existed and was read when this object was made.
    bool FileFound() const { return fileFound_; }

    bool SectionExists(std::string_view section) const;
    bool ValueExists(std::string_view section, std::string_view key) const;
    // The entry's value; `def` when the entry (or its section) does not exist. An entry that
    // exists with an empty value gives the empty text.
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view def) const;
    // A decimal 32-bit integer (optional sign); a missing entry or any other value gives `def`.
    int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
    // True for a non-zero integer, false for 0; a missing entry or a non-integer gives `def`.
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;

    // Sets the entry in memory: the existing entry's line is rewritten in place, a new entry goes
    // after the last entry of its section, a new section at the end of the file. Throws
    // EIniFileError for a name or value that cannot be stored in one line ("=" in a key, "]" in a
    // section name, a line break anywhere, surrounding blanks in a name).
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int32_t value);
    void WriteBool(std::string_view section, std::string_view key, bool value);  // "1" or "0"

    // Writes the content to FileName(): to a temporary file in the same folder, flushed to disk
    // and renamed over the target, so a failure leaves the old file as it was. Creates missing
    // folders. Throws EIniFileError whose text names the file.
    void UpdateFile() const;

  private:
    enum class TLineKind : uint8_t { Other, Section, Entry };
    struct TLine {
        std::string text;  // the line as written
        TLineKind kind = TLineKind::Other;
        std::string name;   // section name or entry name, trimmed
        std::string value;  // entry value, trimmed
    };
    // Index of the header line of the section looked in, or -1.
    ptrdiff_t FindSection(std::string_view section) const;
    // Index of the entry looked up in the section starting at `header`, or -1.
    ptrdiff_t FindEntry(ptrdiff_t header, std::string_view key) const;

    std::string fileName_;
    bool fileFound_ = false;
    std::vector<TLine> lines_;
};

}  // namespace tilvo
