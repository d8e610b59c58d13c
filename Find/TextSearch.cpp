// The text search on the program's side: the module tilvo_find_text reads the words, TextMatch
// picks the ones the query asks for.
#include <stdlib.h>

#include <algorithm>

#include "FileFormat/CodecModule.h"
#include "Find/Find.h"
#include "Find/TextMatch.h"
#include "Find/TextReader.h"

namespace tilvo {

namespace {

struct TLoadedReader {
    TTextReader* Reader = nullptr;
    std::string Error;
};

const TLoadedReader& LoadedReader() {
    static const TLoadedReader loaded = [] {
        TLoadedReader result;
        // Tesseract's OpenMP threads would spin on cores the batch's other files (or other
        // programs) use, and cost more than they give: one thread per reading, set before the
        // module brings OpenMP's library in, which reads it once. A value the user set stands.
        setenv("OMP_THREAD_LIMIT", "1", 0);
        if (void* factory = CodecModuleSymbol(kTextModule, kTextModuleFactory, result.Error))
            result.Reader = reinterpret_cast<TTextReaderFactory>(factory)();
        return result;
    }();
    return loaded;
}

bool AskCancelled(void* context) {
    const auto* control = static_cast<const TFindControl*>(context);
    return control->Cancel && control->Cancel->load(std::memory_order_relaxed);
}

void TellProgress(void* context, int32_t percent) {
    const auto* control = static_cast<const TFindControl*>(context);
    if (control->Progress) control->Progress(percent);
}

}  // namespace

bool FindText(const TBitmap& picture, const TTextQuery& query, std::vector<TFound>& found,
              std::string& error, const TFindControl& control) {
    found.clear();
    if (picture.Empty() || query.Empty()) return true;
    const TLoadedReader& loaded = LoadedReader();
    if (!loaded.Reader) {
        error = "the text search is not installed (install libtesseract5 and tesseract-ocr-eng): " +
                loaded.Error;
        return false;
    }
    std::vector<uint8_t> grey;
    GreyOf(picture, grey);
    TTextReadRequest request;
    request.Pixels = grey.data();
    request.Width = picture.Width();
    request.Height = picture.Height();
    request.Stride = picture.Width();
    request.Language = query.Language.empty() ? "eng" : query.Language;
    request.Cancelled = &AskCancelled;
    request.Progress = &TellProgress;
    request.Context = const_cast<TFindControl*>(&control);
    std::vector<TReadWord> words;
    if (!loaded.Reader->Read(request, words, error)) return false;
    found = MatchWords(words, query);
    // The reader's boxes hug the letters: a fifth of their height more on every side (2 pixels at
    // least) takes in anti-aliased edges and what a letter reaches past its box.
    for (TFound& f : found) {
        const int32_t grow = std::max(2, f.Box.Height() / 5);
        f.Box = {std::max(0, f.Box.Left - grow), std::max(0, f.Box.Top - grow),
                 std::min(picture.Width(), f.Box.Right + grow),
                 std::min(picture.Height(), f.Box.Bottom + grow)};
    }
    return true;
}

}  // namespace tilvo
