// Makes the JPEG reading fixtures in tests/data/read/jpeg and, beside each, the expected picture
// as decoded by plain libjpeg (and, for CMYK, the ink formula the reader applies), written as PNG.
//
//   g++ -std=c++20 -O1 tests/data/make_jpeg_fixtures.cpp -ljpeg -lpng -o /tmp/make_jpeg_fixtures
//   /tmp/make_jpeg_fixtures tests/data/read/jpeg
#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "make_jpeg_fixtures: %s\n", what);
    std::exit(1);
}

// Plain libjpeg with its default error manager (which exits on an error): fine for a generator.
std::vector<unsigned char> Encode(int w, int h, int comps, J_COLOR_SPACE in,
                                  const std::vector<unsigned char>& px, int quality,
                                  bool fullChroma, bool progressive) {
    jpeg_compress_struct ci;
    jpeg_error_mgr jerr;
    ci.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&ci);
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&ci, &buf, &size);
    ci.image_width = w;
    ci.image_height = h;
    ci.input_components = comps;
    ci.in_color_space = in;
    jpeg_set_defaults(&ci);
    jpeg_set_quality(&ci, quality, TRUE);
    if (fullChroma)
        for (int c = 0; c < ci.num_components; ++c)
            ci.comp_info[c].h_samp_factor = ci.comp_info[c].v_samp_factor = 1;
    if (progressive) jpeg_simple_progression(&ci);
    jpeg_start_compress(&ci, TRUE);
    while (ci.next_scanline < ci.image_height) {
        JSAMPROW row = const_cast<unsigned char*>(px.data()) + size_t(ci.next_scanline) * w * comps;
        jpeg_write_scanlines(&ci, &row, 1);
    }
    jpeg_finish_compress(&ci);
    jpeg_destroy_compress(&ci);
    std::vector<unsigned char> out(buf, buf + size);
    std::free(buf);
    return out;
}

// Decodes to R, G, B the way the reader does: colour straight, gray through the 236-level
// Floyd–Steinberg quantiser, CMYK through the ink formula.
std::vector<unsigned char> DecodeRgb(const std::vector<unsigned char>& jpg, int& w, int& h) {
    jpeg_decompress_struct ci;
    jpeg_error_mgr jerr;
    ci.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&ci);
    jpeg_mem_src(&ci, jpg.data(), jpg.size());
    jpeg_read_header(&ci, TRUE);
    const bool gray = ci.out_color_space == JCS_GRAYSCALE;
    if (gray) {
        ci.quantize_colors = TRUE;
        ci.desired_number_of_colors = 236;
    }
    jpeg_start_decompress(&ci);
    w = ci.output_width;
    h = ci.output_height;
    const int n = ci.output_components;
    std::vector<unsigned char> row(size_t(w) * n), rgb(size_t(w) * h * 3);
    while (ci.output_scanline < ci.output_height) {
        const size_t y = ci.output_scanline;
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&ci, &r, 1);
        for (int x = 0; x < w; ++x) {
            unsigned char* o = &rgb[(y * w + x) * 3];
            if (gray) {
                o[0] = o[1] = o[2] = ci.colormap[0][row[x]];
            } else if (n == 4) {
                const int k = 255 - row[x * 4 + 3];
                for (int c = 0; c < 3; ++c) o[c] = (unsigned char)std::max(0, row[x * 4 + c] - k);
            } else {
                std::memcpy(o, &row[x * 3], 3);
            }
        }
    }
    jpeg_finish_decompress(&ci);
    jpeg_destroy_decompress(&ci);
    return rgb;
}

void WritePng(const std::string& name, int w, int h, const std::vector<unsigned char>& rgb) {
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) Die("cannot write png");
    png_structp p = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(p);
    if (setjmp(png_jmpbuf(p))) Die("libpng");
    png_init_io(p, f);
    png_set_IHDR(p, info, w, h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(p, info);
    for (int y = 0; y < h; ++y) png_write_row(p, &rgb[size_t(y) * w * 3]);
    png_write_end(p, nullptr);
    png_destroy_write_struct(&p, &info);
    std::fclose(f);
}

void WriteBytes(const std::string& name, const std::vector<unsigned char>& b) {
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f || std::fwrite(b.data(), 1, b.size(), f) != b.size()) Die("cannot write jpg");
    std::fclose(f);
}

void Case(const std::string& dir, const std::string& name, const std::vector<unsigned char>& jpg,
          size_t prefix = 0) {
    int w = 0, h = 0;
    const auto rgb = DecodeRgb(jpg, w, h);
    std::vector<unsigned char> file(prefix, 0);
    for (size_t i = 0; i < prefix; ++i) file[i] = (unsigned char)(i * 7 + 1);
    file.insert(file.end(), jpg.begin(), jpg.end());
    WriteBytes(dir + "/" + name + ".jpg", file);
    WritePng(dir + "/" + name + ".png", w, h, rgb);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) Die("usage: make_jpeg_fixtures <output folder>");
    const std::string dir = argv[1];

    const int w = 48, h = 32;
    std::vector<unsigned char> rgb(size_t(w) * h * 3), gray(size_t(w) * h), cmyk(size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * w + x;
            rgb[i * 3] = (unsigned char)(x * 255 / (w - 1));
            rgb[i * 3 + 1] = (unsigned char)(y * 255 / (h - 1));
            rgb[i * 3 + 2] = (unsigned char)((x * 5 + y * 3) & 255);
            gray[i] = (unsigned char)((x * 4 + y * 2) & 255);
            cmyk[i * 4] = (unsigned char)(x * 255 / (w - 1));
            cmyk[i * 4 + 1] = (unsigned char)(y * 255 / (h - 1));
            cmyk[i * 4 + 2] = (unsigned char)(255 - x * 4);
            cmyk[i * 4 + 3] = (unsigned char)(x < w / 2 ? 255 : 160 + y);
        }
    Case(dir, "color420", Encode(w, h, 3, JCS_RGB, rgb, 85, false, false));
    Case(dir, "gray", Encode(w, h, 1, JCS_GRAYSCALE, gray, 90, false, false));
    Case(dir, "cmyk", Encode(w, h, 4, JCS_CMYK, cmyk, 90, false, false));
    Case(dir, "progressive444_prefix128", Encode(w, h, 3, JCS_RGB, rgb, 75, true, true), 128);
    return 0;
}
