// Makes the hostile JPEG files in tests/data/crashers that the reader must refuse with a message:
// component counts it cannot decode (2, and 5 and 10 with their scans cut short after the fourth,
// the last libjpeg reads) and a progressive stream of 1,001 scans. libjpeg itself writes them.
//
//   g++ -std=c++20 -O1 tests/data/make_jpeg_crashers.cpp -ljpeg -o /tmp/make_jpeg_crashers
//   /tmp/make_jpeg_crashers tests/data/crashers
#include <cstddef>
#include <cstdio>
#include <cstdlib>
// jpeglib.h needs size_t and FILE first.
#include <jpeglib.h>

#include <string>
#include <vector>

namespace {

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "make_jpeg_crashers: %s\n", what);
    std::exit(1);
}

// Plain libjpeg with its default error manager (which exits on an error): fine for a generator.
// `components` components in JCS_UNKNOWN (one sequential scan each), or 3-component RGB with
// the simple progression when `components` is 0.
std::vector<unsigned char> Encode(int components, int w, int h) {
    jpeg_compress_struct ci;
    jpeg_error_mgr jerr;
    ci.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&ci);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&ci, &mem, &size);
    const int n = components == 0 ? 3 : components;
    ci.image_width = JDIMENSION(w);
    ci.image_height = JDIMENSION(h);
    ci.input_components = n;
    ci.in_color_space = components == 0 ? JCS_RGB : JCS_UNKNOWN;
    jpeg_set_defaults(&ci);
    std::vector<jpeg_scan_info> scans(static_cast<size_t>(n));
    if (components == 0) {
        jpeg_simple_progression(&ci);
    } else {
        jpeg_set_colorspace(&ci, JCS_UNKNOWN);
        for (int c = 0; c < n; ++c) scans[size_t(c)] = {1, {c, 0, 0, 0}, 0, 63, 0, 0};
        ci.scan_info = scans.data();
        ci.num_scans = n;
    }
    jpeg_start_compress(&ci, TRUE);
    std::vector<unsigned char> row(size_t(w) * size_t(n));
    while (ci.next_scanline < ci.image_height) {
        for (size_t i = 0; i < row.size(); ++i)
            row[i] = (unsigned char)((i * 7 + ci.next_scanline * 13) & 0xFF);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&ci, &r, 1);
    }
    jpeg_finish_compress(&ci);
    std::vector<unsigned char> out(mem, mem + size);
    std::free(mem);
    jpeg_destroy_compress(&ci);
    return out;
}

// Positions of the start-of-scan markers (entropy-coded data never holds FF DA).
std::vector<size_t> Scans(const std::vector<unsigned char>& b) {
    std::vector<size_t> at;
    for (size_t i = 0; i + 1 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] == 0xDA) at.push_back(i);
    return at;
}

// The file cut before scan `keep` (0-based), closed with an end-of-image marker.
std::vector<unsigned char> KeepScans(std::vector<unsigned char> b, size_t keep) {
    const std::vector<size_t> at = Scans(b);
    if (keep < at.size()) {
        b.resize(at[keep]);
        b.push_back(0xFF);
        b.push_back(0xD9);
    }
    return b;
}

// The last scan (an AC refinement) repeated until the file has `count` scans.
std::vector<unsigned char> RepeatLastScan(const std::vector<unsigned char>& b, size_t count) {
    const std::vector<size_t> at = Scans(b);
    if (at.empty() || at.size() > count) Die("unexpected scan count");
    const std::vector<unsigned char> scan(b.begin() + long(at.back()), b.end() - 2);
    std::vector<unsigned char> out(b.begin(), b.end() - 2);
    for (size_t i = at.size(); i < count; ++i) out.insert(out.end(), scan.begin(), scan.end());
    out.push_back(0xFF);
    out.push_back(0xD9);
    return out;
}

void WriteBytes(const std::string& name, const std::vector<unsigned char>& b) {
    FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr || std::fwrite(b.data(), 1, b.size(), f) != b.size()) Die(name.c_str());
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) Die("usage: make_jpeg_crashers DIR");
    const std::string dir = argv[1];
    WriteBytes(dir + "/jpeg_2_components.jpg", Encode(2, 16, 16));
    WriteBytes(dir + "/jpeg_5_components.jpg", KeepScans(Encode(5, 16, 16), 4));
    WriteBytes(dir + "/jpeg_10_components.jpg", KeepScans(Encode(10, 16, 16), 4));
    WriteBytes(dir + "/jpeg_1001_scans.jpg", RepeatLastScan(Encode(0, 16, 16), 1001));
    return 0;
}
