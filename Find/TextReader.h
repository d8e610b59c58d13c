// The boundary between the text search and its module (tilvo_find_text, on Tesseract): a grey
// picture in, the words read with their boxes out. Nothing of Tesseract shows here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tilvo {

// A word as read: its text (UTF-8), its box in the picture's pixels, the number of the text line
// it stands on (words of one line share it, lines counted from 0 in reading order) and
// Tesseract's confidence, 0 … 100.
struct TReadWord {
    std::string Text;
    int32_t X = 0, Y = 0, W = 0, H = 0;
    int32_t Line = 0;
    int32_t Confidence = 0;
};

struct TTextReadRequest {
    const uint8_t* Pixels = nullptr;  // grey, one byte a pixel
    int32_t Width = 0, Height = 0;
    int64_t Stride = 0;
    std::string Language = "eng";  // Tesseract's language names, "+" between several
    // How much the picture is enlarged before recognition (Tesseract reads letters of about 20
    // pixels and more well); 0 chooses from the picture's text line heights.
    int32_t Scale = 0;
    // Asked now and then: true stops the reading (Read then returns false with "cancelled").
    bool (*Cancelled)(void* context) = nullptr;
    // Told the share done, 0 … 100.
    void (*Progress)(void* context, int32_t percent) = nullptr;
    void* Context = nullptr;
};

class TTextReader {
  public:
    // Reads the words of the picture. False with `error` saying why (the language's data is not
    // installed, the picture is too large, cancelled). Safe to call from several threads at once:
    // each call has Tesseract objects of its own and ends them before it returns.
    virtual bool Read(const TTextReadRequest& request, std::vector<TReadWord>& words,
                      std::string& error) = 0;

  protected:
    ~TTextReader() = default;
};

inline constexpr const char* kTextModule = "tilvo_find_text";
inline constexpr const char* kTextModuleFactory = "tilvo_find_text_reader";
using TTextReaderFactory = TTextReader* (*)();

}  // namespace tilvo
