// Test helpers for the JPEG tests: pictures built in code, and libjpeg itself reading what the
// writers produced (pixels, tables, sampling, scans), independent of TJPEGImage.
#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"
#include "FileFormat/JpegGlue.h"

namespace tilvo::test {

// Smooth gradients plus a little noise: many colours, nothing flat.
inline void MakeTestPicture(TBitmap& bmp, int32_t w, int32_t h, uint32_t seed = 7) {
    bmp.Resize(w, h, pf24bit);
    uint32_t s = seed;
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = bmp.ScanLine(y);
        for (int32_t x = 0; x < w; ++x) {
            s = s * 1664525u + 1013904223u;
            const int n = int(s >> 29) - 4;
            const auto c = [&](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
            row[3 * x] = c(x * 255 / (w > 1 ? w - 1 : 1) + n);
            row[3 * x + 1] = c(y * 255 / (h > 1 ? h - 1 : 1) + n);
            row[3 * x + 2] = c((x * 3 + y * 5) % 256 + n);
        }
    }
}

struct TLibjpegImage {
    int Width = 0, Height = 0, Components = 0;
    J_COLOR_SPACE ColorSpace = JCS_UNKNOWN;
    bool Progressive = false;
    std::array<int, 4> HSamp{}, VSamp{}, QuantTable{};
    std::array<std::array<uint16_t, 64>, 4> Quant{};  // natural order
    std::vector<uint8_t> Pixels;                      // rows packed, outComponents per pixel
    int OutComponents = 0;
};

// Decodes `bytes` with plain libjpeg into `out` (the stream's own colour space unless `outSpace`
// says otherwise). Throws std::runtime_error on a libjpeg error.
inline TLibjpegImage LibjpegDecode(const std::vector<uint8_t>& bytes,
                                   J_COLOR_SPACE outSpace = JCS_UNKNOWN) {
    TLibjpegImage img;
    jpeg_decompress_struct ci{};
    jpegglue::TErrorManager err;
    ci.err = jpegglue::InitErrorManager(err);
    std::vector<uint8_t> pixels;
    const unsigned char* data = bytes.data();
    const unsigned long size = (unsigned long)bytes.size();
    bool created = false;
    TLibjpegImage* im = &img;
    std::vector<uint8_t>* px = &pixels;
    const bool ok = jpegglue::Guard(err, [&] {
        jpeg_create_decompress(&ci);
        created = true;
        jpeg_mem_src(&ci, data, size);
        jpeg_read_header(&ci, TRUE);
        im->Width = int(ci.image_width);
        im->Height = int(ci.image_height);
        im->Components = ci.num_components;
        im->ColorSpace = ci.jpeg_color_space;
        im->Progressive = jpeg_has_multiple_scans(&ci) != 0;
        for (int c = 0; c < ci.num_components && c < 4; ++c) {
            im->HSamp[c] = ci.comp_info[c].h_samp_factor;
            im->VSamp[c] = ci.comp_info[c].v_samp_factor;
            im->QuantTable[c] = ci.comp_info[c].quant_tbl_no;
        }
        for (int t = 0; t < 4; ++t)
            if (ci.quant_tbl_ptrs[t] != nullptr)
                for (int i = 0; i < 64; ++i) im->Quant[t][i] = ci.quant_tbl_ptrs[t]->quantval[i];
        if (outSpace != JCS_UNKNOWN) ci.out_color_space = outSpace;
        jpeg_start_decompress(&ci);
        im->OutComponents = ci.output_components;
        px->resize(size_t(ci.output_width) * ci.output_height * ci.output_components);
        while (ci.output_scanline < ci.output_height) {
            JSAMPROW row =
                px->data() + size_t(ci.output_scanline) * ci.output_width * ci.output_components;
            jpeg_read_scanlines(&ci, &row, 1);
        }
        jpeg_finish_decompress(&ci);
    });
    if (created) jpeg_destroy_decompress(&ci);
    if (!ok) throw std::runtime_error("libjpeg error " + std::to_string(err.code));
    img.Pixels = std::move(pixels);
    return img;
}

// The quantisation tables jpeg_set_quality(q, TRUE) makes (natural order).
inline std::array<std::array<uint16_t, 64>, 2> LibjpegQualityTables(int quality) {
    jpeg_compress_struct ci{};
    jpegglue::TErrorManager err;
    ci.err = jpegglue::InitErrorManager(err);
    std::array<std::array<uint16_t, 64>, 2> t{};
    auto* tp = &t;
    const bool ok = jpegglue::Guard(err, [&] {
        jpeg_create_compress(&ci);
        ci.in_color_space = JCS_RGB;
        ci.input_components = 3;
        jpeg_set_defaults(&ci);
        jpeg_set_quality(&ci, quality, TRUE);
        for (int k = 0; k < 2; ++k)
            for (int i = 0; i < 64; ++i) (*tp)[k][i] = ci.quant_tbl_ptrs[k]->quantval[i];
    });
    jpeg_destroy_compress(&ci);
    if (!ok) throw std::runtime_error("libjpeg error");
    return t;
}

// Number of start-of-scan markers (entropy-coded data never holds 0xFF 0xDA).
inline int CountScans(const std::vector<uint8_t>& b) {
    int n = 0;
    for (size_t i = 0; i + 1 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] == 0xDA) ++n;
    return n;
}

// A JPEG of `components` components in no colour space libjpeg knows (JCS_UNKNOWN), sequential,
// one scan per component, cut short after the first `keptScans` scans (then the end-of-image
// marker). libjpeg decodes such a file: components without a scan come out flat. It does not
// read a scan of a component past the fourth, so files of more components keep at most four.
inline std::vector<uint8_t> MakeComponentJpeg(int components, int keptScans, int w = 16,
                                              int h = 16) {
    jpeg_compress_struct ci{};
    jpegglue::TErrorManager err;
    ci.err = jpegglue::InitErrorManager(err);
    std::vector<uint8_t> out;
    jpegglue::TVectorDestination dest{};
    std::vector<uint8_t> row(size_t(w) * size_t(components));
    std::vector<jpeg_scan_info> scans(static_cast<size_t>(components));
    for (int c = 0; c < components; ++c) scans[size_t(c)] = {1, {c, 0, 0, 0}, 0, 63, 0, 0};
    JSAMPROW r = row.data();
    const bool ok = jpegglue::Guard(err, [&] {
        jpeg_create_compress(&ci);
        jpegglue::SetVectorDestination(&ci, dest, out);
        ci.image_width = JDIMENSION(w);
        ci.image_height = JDIMENSION(h);
        ci.input_components = components;
        ci.in_color_space = JCS_UNKNOWN;
        jpeg_set_defaults(&ci);
        jpeg_set_colorspace(&ci, JCS_UNKNOWN);
        ci.scan_info = scans.data();
        ci.num_scans = components;
        jpeg_start_compress(&ci, TRUE);
        while (ci.next_scanline < ci.image_height) {
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < components; ++c)
                    r[size_t(x) * size_t(components) + size_t(c)] =
                        uint8_t((x * 16 + int(ci.next_scanline) * 8 + c * 40) & 0xFF);
            jpeg_write_scanlines(&ci, &r, 1);
        }
        jpeg_finish_compress(&ci);
        jpegglue::FinishVector(dest);
    });
    jpeg_destroy_compress(&ci);
    if (!ok) throw std::runtime_error("component encode " + std::to_string(err.code));
    int seen = 0;
    for (size_t i = 0; i + 1 < out.size(); ++i) {
        if (out[i] != 0xFF || out[i + 1] != 0xDA || ++seen <= keptScans) continue;
        out.resize(i);
        out.push_back(0xFF);
        out.push_back(0xD9);
        break;
    }
    return out;
}

// A progressive colour JPEG of exactly `scans` scans (at least 10): libjpeg's simple progression,
// its last scan (an AC refinement, which a decoder may see again with only a warning) repeated.
inline std::vector<uint8_t> MakeManyScanJpeg(int scans, int w = 16, int h = 16) {
    jpeg_compress_struct ci{};
    jpegglue::TErrorManager err;
    ci.err = jpegglue::InitErrorManager(err);
    std::vector<uint8_t> out;
    jpegglue::TVectorDestination dest{};
    std::vector<uint8_t> row(size_t(w) * 3);
    JSAMPROW r = row.data();
    const bool ok = jpegglue::Guard(err, [&] {
        jpeg_create_compress(&ci);
        jpegglue::SetVectorDestination(&ci, dest, out);
        ci.image_width = JDIMENSION(w);
        ci.image_height = JDIMENSION(h);
        ci.input_components = 3;
        ci.in_color_space = JCS_RGB;
        jpeg_set_defaults(&ci);
        jpeg_simple_progression(&ci);
        jpeg_start_compress(&ci, TRUE);
        while (ci.next_scanline < ci.image_height) {
            for (int x = 0; x < w * 3; ++x)
                r[x] = uint8_t((x * 7 + int(ci.next_scanline) * 13) & 0xFF);
            jpeg_write_scanlines(&ci, &r, 1);
        }
        jpeg_finish_compress(&ci);
        jpegglue::FinishVector(dest);
    });
    jpeg_destroy_compress(&ci);
    if (!ok) throw std::runtime_error("progressive encode " + std::to_string(err.code));
    size_t last = 0;
    for (size_t i = 0; i + 1 < out.size(); ++i)
        if (out[i] == 0xFF && out[i + 1] == 0xDA) last = i;
    const int have = CountScans(out);
    if (have > scans || last == 0) throw std::runtime_error("too few scans asked for");
    const std::vector<uint8_t> scan(out.begin() + std::ptrdiff_t(last), out.end() - 2);
    std::vector<uint8_t> result(out.begin(), out.end() - 2);
    result.reserve(result.size() + scan.size() * size_t(scans - have) + 2);
    for (int i = have; i < scans; ++i) result.insert(result.end(), scan.begin(), scan.end());
    result.push_back(0xFF);
    result.push_back(0xD9);
    return result;
}

inline std::vector<uint8_t> ReadFileBytes(const std::string& name) {
    std::ifstream f(name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline void WriteFileBytes(const std::string& name, const std::vector<uint8_t>& b) {
    std::ofstream f(name, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

}  // namespace tilvo::test
