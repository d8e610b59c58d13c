// Component resources (.dcr, .res): TDcrImageA opens the first picture resource of a 32-bit
// Windows resource file (a bitmap, an icon or cursor image, or a "JPEG" resource) and writes the
// picture as a resource file holding one named bitmap; SaveDcr is the writer Save uses for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Graphic.h"

namespace tilvo {

class TDcrData : public TSharedImage {};

// One picture resource found in a resource file.
struct TResInfo {
    uint16_t ResType = 0;  // 1 cursor, 2 bitmap, 3 icon, 0 for a type given by name
    std::string TypeName;  // "JPEG" for named types
    std::string ResName;   // UTF-8; a numeric name as "#n"
    uint32_t DataSize = 0;
    uint32_t DataPos = 0;  // in the file; a cursor's starts after its hot spot
    uint32_t Index = 0;
};

class TDcrImageA : public TGraphic {
  public:
    TDcrImageA() : TGraphic(std::make_shared<TDcrData>()) {}
    const char* ClassName() const override { return "TDcrImageA"; }

    // Walks every entry of the file and decodes the first bitmap, icon, cursor or "JPEG" resource
    // found; other resource types are skipped. A file without a picture resource, a malformed
    // entry or a malformed picture throws EInvalidGraphic; the graphic is then unchanged. The
    // whole file is kept in the data holder.
    void LoadFromStream(TStream& stream) override;

    // Writes a resource file holding one bitmap resource named ResourceName (stored as UTF-16LE):
    // 1-, 4- and 8-bit pictures with their full colour table (2^bits entries, missing ones zero),
    // every other format as 24 bits. Throws, writing nothing, for an empty picture, an empty or
    // malformed name, or a bitmap too large for the format's 32-bit sizes.
    void SaveToStream(TStream& stream) override;

    // The resources found by the last load, in file order.
    const std::vector<TResInfo>& Resources() const { return resources_; }
    // The one decoded (an index into Resources()).
    uint32_t Current() const { return current_; }
    // The bits per pixel of the decoded resource.
    int BitCount() const { return bitCount_; }

    std::string ResourceName;  // the name of the resource written, UTF-8

  private:
    std::vector<TResInfo> resources_;
    uint32_t current_ = 0;
    int bitCount_ = 0;
};

// The resource-file writer of Save: the picture reduced to 8 bits with a palette, under
// `resourceName` upper-cased, or under the target's base name upper-cased when the name is empty
// (letters a to z only are changed). Answers false, leaving any existing file as it was, on any
// failure, with the reason in *why when given. `picture` itself is never changed.
bool SaveDcr(const TBitmap& picture, const std::string& fileName, const std::string& resourceName,
             std::string* why = nullptr);

// The resource name SaveDcr writes for a target and a given name.
std::string DcrResourceNameFor(const std::string& fileName, const std::string& resourceName);

}  // namespace tilvo
