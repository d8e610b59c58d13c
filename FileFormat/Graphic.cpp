// The shared behaviour of graphic classes, the picture registry and the open path.
#include "Graphic.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "JPEGImage.h"
#include "VideoStill.h"

namespace tilvo {

namespace {

std::string LowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

// The registry key of an extension given as "PNG", ".png" or "png".
std::string ExtensionKey(const std::string& extension) {
    return LowerAscii(!extension.empty() && extension[0] == '.' ? extension.substr(1) : extension);
}

}  // namespace

std::string FileExtension(const std::string& fileName) {
    const size_t slash = fileName.rfind('/');
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return fileName.substr(dot + 1);
}

// ---- TGraphic ----

void TGraphic::Assign(const TBitmap& source) {
    bitmap_.Assign(source);
}

void TGraphic::Assign(const TGraphic& source) {
    if (&source == this) return;
    if (std::strcmp(source.ClassName(), ClassName()) != 0)
        throw EConvertError(std::string("Cannot assign a ") + source.ClassName() + " to a " +
                            ClassName());
    holder_ = source.holder_;
    bitmap_.Assign(source.bitmap_);
}

void TGraphic::AssignTo(TBitmap& dest) const {
    dest.Assign(bitmap_);
}

void TGraphic::SetWidth(int32_t) {
    throw EInvalidGraphic("Can't change width");
}

void TGraphic::SetHeight(int32_t) {
    throw EInvalidGraphic("Can't change height");
}

void TGraphic::SaveToStream(TStream& stream) {
    if (holder_ && !holder_->Stream.empty())
        stream.Write(holder_->Stream.data(), int64_t(holder_->Stream.size()));
}

void TGraphic::LoadFromFile(const std::string& fileName) {
    TFileStream stream(fileName, TFileStream::fmOpenRead);
    LoadFromStream(stream);
}

void TGraphic::SaveToFile(const std::string& fileName) {
    TSafeFileStream stream(fileName);
    SaveToStream(stream);
    stream.Commit();
}

// ---- TPictureFormats ----

void TPictureFormats::Register(const std::string& extension, const std::string& description,
                               const std::string& className, TGraphicFactory create,
                               TSignatureTest sniff) {
    entries_.push_back({ExtensionKey(extension), description, className, create, sniff});
}

void TPictureFormats::UnregisterClass(const std::string& className) {
    std::erase_if(entries_, [&](const TPictureFormatEntry& e) { return e.ClassName == className; });
}

const TPictureFormatEntry* TPictureFormats::Find(const std::string& extension) const {
    const std::string key = ExtensionKey(extension);
    if (key.empty()) return nullptr;
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
        if (it->Extension == key) return &*it;
    return nullptr;
}

const TPictureFormatEntry* TPictureFormats::FindBySignature(const uint8_t* head,
                                                            size_t size) const {
    for (const TPictureFormatEntry& e : entries_)
        if (e.Sniff && e.Create && e.Sniff(head, size)) return &e;
    return nullptr;
}

TPictureFormats& PictureFormats() {
    static TPictureFormats formats;
    return formats;
}

// ---- opening ----

std::unique_ptr<TGraphic> CreateGraphicForFile(const std::string& fileName) {
    const std::string extension = FileExtension(fileName);
    const TPictureFormatEntry* entry = PictureFormats().Find(extension);
    if (!entry || !entry->Create)
        throw EInvalidGraphic("Unknown picture file extension (." + LowerAscii(extension) + ")");
    return entry->Create();
}

std::vector<uint8_t> ReadSignatureBytes(const std::string& fileName) {
    TFileStream stream(fileName, TFileStream::fmOpenRead);
    std::vector<uint8_t> head(kSignatureBytes);
    head.resize(size_t(stream.Read(head.data(), int64_t(head.size()))));
    return head;
}

namespace {

// One reader's attempt: the class loads the file and its picture, converted to 24 bits, replaces
// `picture`. On failure `picture` is left as it was, so another reader may try after it.
// When jpegBytes is given it receives, on success, the JPEG bytes the picture was decoded from.
void LoadWith(const TPictureFormatEntry& entry, const std::string& fileName, TBitmap& picture,
              std::vector<uint8_t>* jpegBytes) {
    std::unique_ptr<TGraphic> graphic = entry.Create();
    // The graphic is discarded afterwards, so its decoded surface is taken over, not copied. An
    // empty `picture` lends the graphic its buffer to decode into (a buffer that is already
    // mapped costs far less than a fresh one); a failure hands the buffer back, still empty.
    TBitmap& decoded = graphic->Bitmap();
    const bool lend = picture.Empty();
    const int32_t emptyWidth = picture.Width(), emptyHeight = picture.Height();
    const TPixelFormat emptyFormat = picture.PixelFormat();
    std::vector<TPaletteEntry> emptyPalette;
    if (lend) {
        emptyPalette = picture.Palette();
        decoded.Swap(picture);
    }
    try {
        graphic->LoadFromFile(fileName);
        graphic->DecodeNeeded();
        // A video shown as the placeholder square is no picture to edit.
        if (const auto* video = dynamic_cast<const TVideoStillImage*>(graphic.get());
            video && video->IsPlaceholder())
            throw EInvalidGraphic(kNoVideoDecoder);
        // Every reader fails on a file that holds no picture; should one answer with nothing
        // anyway, the open picture is kept, so Save can never write an empty one over a file.
        if (decoded.Empty()) throw EInvalidGraphic("The file holds no picture");
        decoded.SetPixelFormat(pf24bit);
    } catch (...) {
        if (lend) {
            picture.Swap(decoded);
            picture.Resize(emptyWidth, emptyHeight, emptyFormat);
            picture.Palette().swap(emptyPalette);
        }
        throw;
    }
    picture.Swap(decoded);
    if (jpegBytes != nullptr) {
        jpegBytes->clear();
        if (auto* jpeg = dynamic_cast<TJPEGImage*>(graphic.get()))
            jpegBytes->swap(jpeg->Data()->Stream);  // the graphic is discarded
    }
}

}  // namespace

TOpeningChoice ChooseOpeningFormat(const std::string& fileName, const std::string& extension) {
    TOpeningChoice choice;
    choice.Extension = extension.empty() ? FileExtension(fileName) : extension;
    const TPictureFormatEntry* byName = PictureFormats().Find(choice.Extension);
    if (byName && !byName->Create) byName = nullptr;
    const std::vector<uint8_t> head = ReadSignatureBytes(fileName);
    const TPictureFormatEntry* byContent =
        PictureFormats().FindBySignature(head.data(), head.size());
    if (!byName) {
        choice.First = byContent;
    } else if (byName->Sniff) {
        // A file that carries its extension's signature is that format, whatever its reader then
        // finds inside; one that does not is opened by what it carries. When nothing matches, the
        // extension's reader runs anyway, for its own message.
        choice.First = byName->Sniff(head.data(), head.size()) || !byContent ? byName : byContent;
    } else {
        // A format without a signature cannot tell from the first bytes that the file is not its
        // own: its reader decides, and only a file it refuses is opened by content.
        choice.First = byName;
        choice.Fallback = byContent;
    }
    return choice;
}

namespace {

void LoadPictureFileAs(const std::string& fileName, const std::string& extension, TBitmap& picture,
                       std::vector<uint8_t>* jpegBytes) {
    const TOpeningChoice choice = ChooseOpeningFormat(fileName, extension);
    if (!choice.First)
        throw EInvalidGraphic("Unknown picture file format (" +
                              (choice.Extension.empty() ? std::string("no extension")
                                                        : "." + LowerAscii(choice.Extension)) +
                              ")");
    if (!choice.Fallback) {
        LoadWith(*choice.First, fileName, picture, jpegBytes);
        return;
    }
    try {
        LoadWith(*choice.First, fileName, picture, jpegBytes);
    } catch (const EInvalidGraphic&) {
        const std::exception_ptr refused = std::current_exception();
        try {
            LoadWith(*choice.Fallback, fileName, picture, jpegBytes);
        } catch (const EInvalidGraphic&) {
            std::rethrow_exception(refused);
        }
    }
}

}  // namespace

void LoadPictureFile(const std::string& fileName, TBitmap& picture, std::vector<uint8_t>* jpegBytes,
                     const std::string& extension) {
    try {
        LoadPictureFileAs(fileName, extension, picture, jpegBytes);
    } catch (const std::bad_alloc& e) {
        // The request that failed is, nearly always, the picture's own surface.
        const auto* refused = dynamic_cast<const EOutOfMemory*>(&e);
        const int64_t mb = refused ? (refused->Bytes() + (int64_t(1) << 20) - 1) >> 20 : 0;
        throw Exception("not enough memory to open \"" + fileName + "\"" +
                        (mb > 0 ? " (it needs about " + std::to_string(mb) + " MB)" : ""));
    }
}

}  // namespace tilvo
