// The glue between libjpeg and C++ shared by the JPEG units: the silent error manager, the guard
// that turns libjpeg's fatal errors into a return value, and a destination growing a byte vector.
// Included only by the JPEG sources; libjpeg's types stay out of the public headers.
#pragma once

#include <jerror.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <vector>

#include "Stream.h"

namespace tilvo::jpegglue {

// Fatal errors jump back to the guard with libjpeg's text kept; warnings and trace messages are
// neither shown nor logged, only counted (num_warnings).
struct TErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    int code = 0;
    bool aborted = false;  // the progress handler asked to stop
    // Set when Tilvo itself refused the stream (too many scans): the message to report instead of
    // libjpeg's code.
    const char* refusal = nullptr;
    // A stream that ends before its picture does is refused instead of padded with gray.
    bool endOfFileIsFatal = false;
    // libjpeg's own text of the fatal error, formatted with its parameters.
    char message[JMSG_LENGTH_MAX] = {};
};

extern "C" inline void SilentErrorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<TErrorManager*>(cinfo->err);
    err->code = cinfo->err->msg_code;
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}
extern "C" inline void SilentOutputMessage(j_common_ptr) {}
extern "C" inline void SilentEmitMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) return;
    ++cinfo->err->num_warnings;
    if (cinfo->err->msg_code == JWRN_JPEG_EOF &&
        reinterpret_cast<TErrorManager*>(cinfo->err)->endOfFileIsFatal)
        cinfo->err->error_exit(cinfo);
}
inline jpeg_error_mgr* InitErrorManager(TErrorManager& err) {
    jpeg_std_error(&err.pub);
    err.pub.error_exit = SilentErrorExit;
    err.pub.output_message = SilentOutputMessage;
    err.pub.emit_message = SilentEmitMessage;
    return &err.pub;
}

// Runs `fn`, which calls libjpeg and holds no object with a destructor. Answers false when libjpeg
// raised a fatal error inside it (the code is in err.code); no C++ frame with a destructor is ever
// jumped over, and the caller throws after this returns.
template <class Fn>
[[nodiscard]] inline bool Guard(TErrorManager& err, Fn&& fn) {
    if (setjmp(err.jump) != 0) return false;
    fn();
    return true;
}

// A destination that writes into a byte vector, growing it as libjpeg fills it. A failed growth
// is reported to libjpeg as running out of memory.
struct TVectorDestination {
    jpeg_destination_mgr pub;
    std::vector<uint8_t>* out = nullptr;
};

inline bool GrowVector(std::vector<uint8_t>& v) noexcept {
    try {
        v.resize(v.size() < 65536 ? 65536 : v.size() * 2);
        return true;
    } catch (...) {
        return false;
    }
}

extern "C" inline void VectorInitDestination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<TVectorDestination*>(cinfo->dest);
    if (d->out->size() < 65536 && !GrowVector(*d->out)) {
        cinfo->err->msg_code = JERR_OUT_OF_MEMORY;
        cinfo->err->error_exit(reinterpret_cast<j_common_ptr>(cinfo));
    }
    d->pub.next_output_byte = d->out->data();
    d->pub.free_in_buffer = d->out->size();
}

extern "C" inline boolean VectorEmptyOutputBuffer(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<TVectorDestination*>(cinfo->dest);
    const size_t used = d->out->size();
    if (!GrowVector(*d->out)) {
        cinfo->err->msg_code = JERR_OUT_OF_MEMORY;
        cinfo->err->error_exit(reinterpret_cast<j_common_ptr>(cinfo));
    }
    d->pub.next_output_byte = d->out->data() + used;
    d->pub.free_in_buffer = d->out->size() - used;
    return TRUE;
}

extern "C" inline void VectorTermDestination(j_compress_ptr) {}

// Sets `out` (emptied) as the destination; after jpeg_finish_compress, FinishVector trims it.
inline void SetVectorDestination(j_compress_ptr cinfo, TVectorDestination& dest,
                                 std::vector<uint8_t>& out) {
    out.clear();
    dest.out = &out;
    dest.pub.init_destination = VectorInitDestination;
    dest.pub.empty_output_buffer = VectorEmptyOutputBuffer;
    dest.pub.term_destination = VectorTermDestination;
    cinfo->dest = &dest.pub;
}

inline void FinishVector(TVectorDestination& dest) {
    dest.out->resize(dest.out->size() - dest.pub.free_in_buffer);
}

// A destination that hands libjpeg's output to a TStream in 64 KiB pieces. A stream error is kept
// (the exception object) and reported to libjpeg as a write failure; the caller rethrows it.
struct TStreamDestination {
    jpeg_destination_mgr pub;
    TStream* stream = nullptr;
    std::exception_ptr error;
    uint8_t buffer[65536];
};

inline bool StreamWrite(TStreamDestination& d, size_t count) noexcept {
    try {
        d.stream->Write(d.buffer, int64_t(count));
        return true;
    } catch (...) {
        d.error = std::current_exception();
        return false;
    }
}

extern "C" inline void StreamInitDestination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<TStreamDestination*>(cinfo->dest);
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = sizeof d->buffer;
}

extern "C" inline boolean StreamEmptyOutputBuffer(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<TStreamDestination*>(cinfo->dest);
    if (!StreamWrite(*d, sizeof d->buffer)) {
        cinfo->err->msg_code = JERR_FILE_WRITE;
        cinfo->err->error_exit(reinterpret_cast<j_common_ptr>(cinfo));
    }
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = sizeof d->buffer;
    return TRUE;
}

extern "C" inline void StreamTermDestination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<TStreamDestination*>(cinfo->dest);
    if (!StreamWrite(*d, sizeof d->buffer - d->pub.free_in_buffer)) {
        cinfo->err->msg_code = JERR_FILE_WRITE;
        cinfo->err->error_exit(reinterpret_cast<j_common_ptr>(cinfo));
    }
}

inline void SetStreamDestination(j_compress_ptr cinfo, TStreamDestination& dest, TStream& stream) {
    dest.stream = &stream;
    dest.error = nullptr;
    dest.pub.init_destination = StreamInitDestination;
    dest.pub.empty_output_buffer = StreamEmptyOutputBuffer;
    dest.pub.term_destination = StreamTermDestination;
    cinfo->dest = &dest.pub;
}

}  // namespace tilvo::jpegglue
