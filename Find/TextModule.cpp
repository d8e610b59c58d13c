// The module tilvo_find_text: Tesseract's LSTM recogniser (through its C++ API, on Leptonica)
// reads the words of a grey picture with their boxes. Loaded the first time a text search runs,
// so that no program maps Tesseract at start.
#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#include "Find/TextReader.h"

namespace tilvo {

namespace {

constexpr int64_t kMaxReadPixels = int64_t(1) << 28;  // after enlargement

struct TPixFree {
    void operator()(PIX* p) const { pixDestroy(&p); }
};
using TPixPtr = std::unique_ptr<PIX, TPixFree>;

// The API ended however the call leaves.
struct TApiEnd {
    void operator()(tesseract::TessBaseAPI* api) const {
        api->End();
        delete api;
    }
};
using TApiPtr = std::unique_ptr<tesseract::TessBaseAPI, TApiEnd>;

// Tesseract's notes ("Estimating resolution as …") go to its debug file; Leptonica's to nowhere.
TApiPtr StartApi(const std::string& language, std::string& error) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { setMsgSeverity(L_SEVERITY_NONE); });
    TApiPtr api(new tesseract::TessBaseAPI());
    std::vector<std::string> names{"debug_file", "user_defined_dpi"};
    std::vector<std::string> values{"/dev/null", "300"};
    if (api->Init(nullptr, language.c_str(), tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values,
                  false) != 0) {
        error = "Tesseract has no data for the language \"" + language +
                "\" (install tesseract-ocr-" + language.substr(0, language.find('+')) + ")";
        return nullptr;
    }
    api->SetPageSegMode(tesseract::PSM_AUTO);
    return api;
}

// The grey rows as an 8-bit Leptonica picture, enlarged `scale` times.
TPixPtr MakePix(const TTextReadRequest& r, int32_t scale) {
    TPixPtr pix(pixCreate(r.Width, r.Height, 8));
    if (!pix) return nullptr;
    l_uint32* data = pixGetData(pix.get());
    const int32_t wpl = pixGetWpl(pix.get());
    for (int32_t y = 0; y < r.Height; ++y) {
        const uint8_t* row = r.Pixels + y * r.Stride;
        l_uint32* line = data + int64_t(y) * wpl;
        for (int32_t x = 0; x < r.Width; ++x) SET_DATA_BYTE(line, x, row[x]);
    }
    if (scale <= 1) return pix;
    return TPixPtr(pixScaleGrayLI(pix.get(), float(scale), float(scale)));
}


bool CancelCheck(void* cancel_this, int) {
    const auto* r = static_cast<const TTextReadRequest*>(cancel_this);
    return r->Cancelled && r->Cancelled(r->Context);
}

bool ProgressReport(tesseract::ETEXT_DESC* monitor, int, int, int, int) {
    const auto* r = static_cast<const TTextReadRequest*>(monitor->cancel_this);
    if (r->Progress) r->Progress(r->Context, monitor->progress);
    return true;
}

// The median height of the text lines the layout analysis finds, 0 when it finds none.
int32_t MedianLineHeight(tesseract::TessBaseAPI& api) {
    std::unique_ptr<tesseract::PageIterator> it(api.AnalyseLayout());
    std::vector<int32_t> heights;
    if (it) {
        do {
            int l, t, r, b;
            if (it->BoundingBox(tesseract::RIL_TEXTLINE, &l, &t, &r, &b)) heights.push_back(b - t);
        } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    if (heights.empty()) return 0;
    std::nth_element(heights.begin(), heights.begin() + ptrdiff_t(heights.size() / 2),
                     heights.end());
    return heights[heights.size() / 2];
}

class TTesseractReader final : public TTextReader {
  public:
    bool Read(const TTextReadRequest& r, std::vector<TReadWord>& words,
              std::string& error) override {
        words.clear();
        if (!r.Pixels || r.Width <= 0 || r.Height <= 0 || r.Stride < r.Width) {
            error = "no picture to read";
            return false;
        }
        try {
            return ReadWords(r, words, error);
        } catch (const std::bad_alloc&) {
            error = "out of memory";
            return false;
        }
    }

  private:
    static bool ReadWords(const TTextReadRequest& r, std::vector<TReadWord>& words,
                          std::string& error) {
        TApiPtr api = StartApi(r.Language, error);
        if (!api) return false;
        int32_t scale = r.Scale;
        if (scale <= 0) {
            TPixPtr pix = MakePix(r, 1);
            if (!pix) return error = "out of memory", false;
            api->SetImage(pix.get());
            const int32_t line = MedianLineHeight(*api);
            // Lines of fewer than 20 pixels (letters of 14 and less) read better twice as large,
            // those under 12 three times.
            scale = line == 0 || line >= 20 ? 1 : line >= 12 ? 2 : 3;
        }
        scale = std::clamp(scale, 1, 4);
        if (int64_t(r.Width) * r.Height * scale * scale > kMaxReadPixels) {
            error = "the picture is too large to read its text";
            return false;
        }
        TPixPtr pix = MakePix(r, scale);
        if (!pix) return error = "out of memory", false;
        api->SetImage(pix.get());
        tesseract::ETEXT_DESC monitor;
        monitor.cancel = &CancelCheck;
        monitor.cancel_this = const_cast<TTextReadRequest*>(&r);
        monitor.progress_callback2 = &ProgressReport;
        if (api->Recognize(&monitor) != 0) {
            error = CancelCheck(monitor.cancel_this, 0) ? "cancelled" : "the text cannot be read";
            return false;
        }
        if (CancelCheck(monitor.cancel_this, 0)) return error = "cancelled", false;
        std::unique_ptr<tesseract::ResultIterator> it(api->GetIterator());
        int32_t line = -1;
        if (it) {
            do {
                if (it->IsAtBeginningOf(tesseract::RIL_TEXTLINE)) ++line;
                const std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_WORD));
                int left, top, right, bottom;
                if (!text || text[0] == 0 ||
                    !it->BoundingBox(tesseract::RIL_WORD, &left, &top, &right, &bottom))
                    continue;
                TReadWord w;
                w.Text = text.get();
                // Back to the picture's pixels, the box rounded outwards.
                w.X = left / scale;
                w.Y = top / scale;
                w.W = std::min((right + scale - 1) / scale, r.Width) - w.X;
                w.H = std::min((bottom + scale - 1) / scale, r.Height) - w.Y;
                w.Line = std::max(line, 0);
                w.Confidence = int32_t(std::lround(it->Confidence(tesseract::RIL_WORD)));
                words.push_back(std::move(w));
            } while (it->Next(tesseract::RIL_WORD));
        }
        return true;
    }
};

}  // namespace

}  // namespace tilvo

extern "C" __attribute__((visibility("default"))) tilvo::TTextReader* tilvo_find_text_reader() {
    static tilvo::TTesseractReader reader;
    return &reader;
}
