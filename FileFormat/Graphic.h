// The graphic class framework: TGraphic (a picture format that decodes a file into a surface it
// owns), TSharedImage (the reference-counted data holder two graphics of one class can share),
// the picture registry that maps file extensions to format classes, and the open path.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"
#include "Stream.h"

namespace tilvo {

// The graphic cannot do what was asked ("Can't change width") or its file is malformed.
class EInvalidGraphic : public Exception {
public:
    using Exception::Exception;
};

// Assigning between objects that cannot take each other's content.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A format's data holder. Several readers keep the whole file they loaded in `Stream`, so that a
// second graphic of the same class shares the loaded state and a read-only format can write the
// file back byte for byte. Shared by std::shared_ptr: freed with its last reference.
class TSharedImage {
public:
    virtual ~TSharedImage() = default;
    std::vector<uint8_t> Stream;  // the file as loaded; empty when the reader kept none
};

class TGraphic {
public:
    virtual ~TGraphic() = default;

    // The class's name, used by the registry to remove a class at shut-down.
    virtual const char* ClassName() const = 0;

    // Takes a surface (how a writer is handed the edited picture): the graphic's own surface
    // becomes a copy of it.
    virtual void Assign(const TBitmap& source);
    // Takes a graphic: of the same class, the holder is shared and the surface copied; any other
    // class fails with EConvertError.
    virtual void Assign(const TGraphic& source);
    // Hands the decoded picture over: `dest` becomes a copy of the graphic's surface, in whatever
    // pixel format the reader produced.
    virtual void AssignTo(TBitmap& dest) const;

    virtual bool GetEmpty() const { return holder_ == nullptr && bitmap_.Empty(); }
    virtual int32_t GetWidth() const { return bitmap_.Width(); }
    virtual int32_t GetHeight() const { return bitmap_.Height(); }
    // Refused with "Can't change width" / "Can't change height" unless the format is resizable.
    virtual void SetWidth(int32_t w);
    virtual void SetHeight(int32_t h);

    // Decodes the whole stream (read from position 0, not the current position, unless the format
    // says otherwise). A malformed stream throws with the format's message.
    virtual void LoadFromStream(TStream& stream) = 0;
    // Writes the format; a read-only format writes back the file its reader kept, or nothing.
    virtual void SaveToStream(TStream& stream);
    // Opens the file as a stream and calls LoadFromStream.
    virtual void LoadFromFile(const std::string& fileName);
    // Saves through SaveToStream into a TSafeFileStream, committed only when SaveToStream returned.
    virtual void SaveToFile(const std::string& fileName);

    // Makes sure Bitmap() holds the decoded picture; a class that decodes on demand overrides it.
    virtual void DecodeNeeded() {}

    // The decoded picture.
    TBitmap& Bitmap() { return bitmap_; }
    const TBitmap& Bitmap() const { return bitmap_; }
    const std::shared_ptr<TSharedImage>& Holder() const { return holder_; }

protected:
    explicit TGraphic(std::shared_ptr<TSharedImage> holder) : holder_(std::move(holder)) {}

    std::shared_ptr<TSharedImage> holder_;
    TBitmap bitmap_;
};

// A factory the registry calls to make a fresh graphic of a class.
using TGraphicFactory = std::unique_ptr<TGraphic> (*)();

// A format's signature test: true when `head` (the first `size` bytes of a file, at most
// kSignatureBytes; the whole file when it is shorter) starts as the format's reader requires.
using TSignatureTest = bool (*)(const uint8_t* head, size_t size);

// How many bytes of a file the signature tests are given.
constexpr size_t kSignatureBytes = 4096;
// The first kSignatureBytes of a file (fewer when it is shorter), for the signature tests. A file
// that cannot be opened or read throws with the system's reason.
std::vector<uint8_t> ReadSignatureBytes(const std::string& fileName);

struct TPictureFormatEntry {
    std::string Extension;  // lower-cased, without the dot
    std::string Description;
    std::string ClassName;
    TGraphicFactory Create = nullptr;
    // Nullptr for a format without a dependable signature (Targa, raw pixels, Photo CD): such a
    // format is opened only by its extension.
    TSignatureTest Sniff = nullptr;
};

// The registry of picture formats by file extension. Lookups lower-case the extension and search
// from the newest registration to the oldest, so the last registration of an extension wins.
class TPictureFormats {
public:
    void Register(const std::string& extension, const std::string& description,
                  const std::string& className, TGraphicFactory create,
                  TSignatureTest sniff = nullptr);
    // Removes every entry of the class.
    void UnregisterClass(const std::string& className);
    // Nullptr when no class is registered for the extension (given with or without a dot).
    const TPictureFormatEntry* Find(const std::string& extension) const;
    // The first entry, in registration order, whose signature test accepts `head`; nullptr when
    // none does.
    const TPictureFormatEntry* FindBySignature(const uint8_t* head, size_t size) const;
    const std::vector<TPictureFormatEntry>& Entries() const { return entries_; }
    void Clear() { entries_.clear(); }

private:
    std::vector<TPictureFormatEntry> entries_;
};

// The process-wide registry. It is filled once at start-up, before any other thread runs; after
// that it is only read, so the open path may run on several threads at once.
TPictureFormats& PictureFormats();

// Registers every format in the system's fixed order (the Windows bitmap first, as the platform's
// own entry); safe to call more than once. UnregisterAllFormats removes them again at shut-down.
void RegisterAllFormats();
void UnregisterAllFormats();

// The text after the last dot of the file's own name (not of a folder), without the dot.
std::string FileExtension(const std::string& fileName);

// A fresh graphic of the class registered for the file's extension; throws EInvalidGraphic
// "Unknown picture file extension (.xyz)" when none is.
std::unique_ptr<TGraphic> CreateGraphicForFile(const std::string& fileName);

// The readers the open path gives a file, chosen as LoadPictureFile describes: First (null when
// no format can be told) and, for an extension whose format has no signature, Fallback, the format
// the file's content names, tried when First refuses the file.
struct TOpeningChoice {
    std::string Extension;
    const TPictureFormatEntry* First = nullptr;
    const TPictureFormatEntry* Fallback = nullptr;
};
// `extension`, when given, stands for the file name's own (a file without a name of its own, such
// as standard input held in memory).
TOpeningChoice ChooseOpeningFormat(const std::string& fileName, const std::string& extension = {});

// The open path of the main window and tilvo-cli: the class for the file's extension loads the
// file and hands its picture to `picture`, which is converted to 24 bits. The file's content
// decides where its extension does not:
// - the extension's format has a signature that the file does not carry, or the extension is
//   unknown or missing: the first format (in registration order) whose signature the file
//   carries opens it; when none does, the extension's reader fails with its own message, and a
//   file with an unknown or no extension with "Unknown picture file format (...)";
// - the extension's format has no signature: its reader tries first; when it refuses the file,
//   the format whose signature the file carries opens it, else the reader's message stands.
// A reader that hands over an empty picture fails with "The file holds no picture". On failure
// `picture` is left as it was, also when several readers were tried. When `jpegBytes` is given it
// receives, on success, the exact JPEG bytes the picture was decoded from (emptied for any other
// file), for saves that keep the untouched areas of the source. `extension`, when given, stands
// for the file name's own. When memory runs out it fails with "not enough memory to open "…"
// (it needs about N MB)", N the request the system refused.
void LoadPictureFile(const std::string& fileName, TBitmap& picture,
                     std::vector<uint8_t>* jpegBytes = nullptr, const std::string& extension = {});

}  // namespace tilvo
