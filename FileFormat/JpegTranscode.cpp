// Coefficient-level JPEG re-encoding: progressive scans and/or luminance only, markers copied.
#include "JpegTranscode.h"

#include <cstring>
#include <vector>

#include "JPEGImage.h"
#include "JpegGlue.h"

namespace tilvo {

using jpegglue::Guard;
using jpegglue::TErrorManager;

namespace {

struct TTranscodeObjects {
    jpeg_decompress_struct src{};
    jpeg_compress_struct dst{};
    TErrorManager srcErr;
    TErrorManager dstErr;
    jpegglue::TVectorDestination dest{};
    bool srcCreated = false;
    bool dstCreated = false;

    TTranscodeObjects() {
        src.err = jpegglue::InitErrorManager(srcErr);
        dst.err = jpegglue::InitErrorManager(dstErr);
    }
    ~TTranscodeObjects() {
        if (dstCreated) jpeg_destroy_compress(&dst);
        if (srcCreated) jpeg_destroy_decompress(&src);
    }
};

bool IsMarker(const jpeg_saved_marker_ptr m, int code, const char* id, unsigned idLength) {
    return m->marker == code && m->data_length >= idLength &&
           std::memcmp(m->data, id, idLength) == 0;
}

}  // namespace

bool TranscodeJpeg(TStream& input, TStream& output, bool progressive, bool forceGrayscale) {
    input.SetPosition(0);
    output.SetPosition(0);
    const std::vector<uint8_t> in = input.ReadAll();
    std::vector<uint8_t> out;

    TTranscodeObjects t;
    jvirt_barray_ptr* coefficients = nullptr;
    const unsigned char* inBytes = in.data();
    const unsigned long inSize = static_cast<unsigned long>(in.size());

    if (!Guard(t.dstErr, [&] {
            jpeg_create_compress(&t.dst);
            t.dstCreated = true;
        }))
        throw EJPEG(t.dstErr.code, t.dstErr.message);
    if (!Guard(t.srcErr, [&] {
            jpeg_create_decompress(&t.src);
            t.srcCreated = true;
            t.src.mem->max_memory_to_use = t.dst.mem->max_memory_to_use;
            jpeg_mem_src(&t.src, inBytes, inSize);
            jpeg_save_markers(&t.src, JPEG_COM, 0xFFFF);
            for (int m = 0; m < 16; ++m) jpeg_save_markers(&t.src, JPEG_APP0 + m, 0xFFFF);
            jpeg_read_header(&t.src, TRUE);
            coefficients = jpeg_read_coefficients(&t.src);
        }))
        throw EJPEG(t.srcErr.code, t.srcErr.message);

    if (!Guard(t.dstErr, [&] { jpeg_copy_critical_parameters(&t.src, &t.dst); }))
        throw EJPEG(t.dstErr.code, t.dstErr.message);

    if (forceGrayscale) {
        const bool ycc = t.dst.jpeg_color_space == JCS_YCbCr && t.dst.num_components == 3;
        const bool gray = t.dst.jpeg_color_space == JCS_GRAYSCALE && t.dst.num_components == 1;
        if (!ycc && !gray) throw EJPEG(JERR_CONVERSION_NOTIMPL);
        const int lumaTable = t.dst.comp_info[0].quant_tbl_no;
        if (!Guard(t.dstErr, [&] {
                jpeg_set_colorspace(&t.dst, JCS_GRAYSCALE);
                t.dst.comp_info[0].quant_tbl_no = lumaTable;
            }))
            throw EJPEG(t.dstErr.code, t.dstErr.message);
    }

    jpegglue::SetVectorDestination(&t.dst, t.dest, out);
    if (!Guard(t.dstErr, [&] {
            if (progressive) jpeg_simple_progression(&t.dst);
            jpeg_write_coefficients(&t.dst, coefficients);
            // Markers in their input order, except those the output writes itself.
            for (jpeg_saved_marker_ptr m = t.src.marker_list; m != nullptr; m = m->next) {
                if (t.dst.write_JFIF_header && IsMarker(m, JPEG_APP0, "JFIF", 5)) continue;
                if (t.dst.write_Adobe_marker && IsMarker(m, JPEG_APP0 + 14, "Adobe", 5)) continue;
                jpeg_write_marker(&t.dst, int(m->marker), m->data, m->data_length);
            }
            jpeg_finish_compress(&t.dst);
            jpegglue::FinishVector(t.dest);
        }))
        throw EJPEG(t.dstErr.code, t.dstErr.message);
    if (!Guard(t.srcErr, [&] { jpeg_finish_decompress(&t.src); }))
        throw EJPEG(t.srcErr.code, t.srcErr.message);

    output.Write(out.data(), int64_t(out.size()));
    output.SetPosition(0);
    return t.srcErr.pub.num_warnings == 0 && t.dstErr.pub.num_warnings == 0;
}

}  // namespace tilvo
