// Writes a HEIC whose picture is stored on its side and turned upright by an irot box, carrying an
// Exif block: what a phone writes when it is held upright. heif-enc cannot set the orientation,
// so this small program drives libheif's encoder directly. Built and run by
// make_modern_fixtures.sh:
//   make_heic_rotated WIDTH HEIGHT pixels.rgb exif.tiff out.heic
// pixels.rgb holds WIDTH × HEIGHT R, G, B bytes; exif.tiff is an Exif block from its TIFF header.
#include <libheif/heif.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

static std::vector<unsigned char> Slurp(const char* name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

static void Check(heif_error e) {
    if (e.code != heif_error_Ok) {
        std::fprintf(stderr, "libheif: %s\n", e.message);
        std::exit(1);
    }
}

int main(int argc, char** argv) {
    if (argc != 6) return 2;
    const int w = std::atoi(argv[1]), h = std::atoi(argv[2]);
    const std::vector<unsigned char> rgb = Slurp(argv[3]), exif = Slurp(argv[4]);
    if (rgb.size() != size_t(w) * h * 3) return 2;
    heif_image* image = nullptr;
    Check(heif_image_create(w, h, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image));
    Check(heif_image_add_plane(image, heif_channel_interleaved, w, h, 8));
    int stride = 0;
    unsigned char* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < h; ++y) std::memcpy(plane + y * stride, rgb.data() + y * w * 3, w * 3);
    heif_context* ctx = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    Check(heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &encoder));
    Check(heif_encoder_set_lossy_quality(encoder, 60));
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = heif_orientation_rotate_90_cw;
    heif_image_handle* handle = nullptr;
    Check(heif_context_encode_image(ctx, image, encoder, options, &handle));
    Check(heif_context_add_exif_metadata(ctx, handle, exif.data(), int(exif.size())));
    Check(heif_context_write_to_file(ctx, argv[5]));
    heif_image_handle_release(handle);
    heif_encoding_options_free(options);
    heif_encoder_release(encoder);
    heif_context_free(ctx);
    heif_image_release(image);
    return 0;
}
