#pragma once

#include <cstdio>
// jpeglib.h needs FILE declared first.
#include <jpeglib.h>
#include <jerror.h>

#include <csetjmp>
#include <stdexcept>

// A libjpeg compressor or decompressor (Info is jpeg_compress_struct or
// jpeg_decompress_struct) whose fatal errors become exceptions in jpegCall; warnings still
// go to the standard error stream.
template <typename Info> struct JpegCodec {
    Info info{};
    jpeg_error_mgr errors{};
    std::jmp_buf jump{};
    char message[JMSG_LENGTH_MAX] = {};
    // For a reader's own message handler: whatever it keeps its state in.
    void* watch = nullptr;

    JpegCodec() {
        info.err = jpeg_std_error(&errors);
        errors.error_exit = [](j_common_ptr common) {
            auto* codec = static_cast<JpegCodec*>(common->client_data);
            (*common->err->format_message)(common, codec->message);
            std::longjmp(codec->jump, 1);
        };
        info.client_data = this;
    }
    // Also safe before creation: libjpeg then has nothing to release.
    ~JpegCodec() { jpeg_destroy(reinterpret_cast<j_common_ptr>(&info)); }
    JpegCodec(const JpegCodec&) = delete;
    JpegCodec& operator=(const JpegCodec&) = delete;
};

using JpegDecoder = JpegCodec<jpeg_decompress_struct>;
using JpegEncoder = JpegCodec<jpeg_compress_struct>;

// Runs `step`, which must hold libjpeg calls only (the error jump skips destructors), and
// throws libjpeg's message when it fails.
template <typename Info, typename Step> void jpegCall(JpegCodec<Info>& codec, Step step) {
    if (setjmp(codec.jump) != 0) {
        throw std::runtime_error(codec.message);
    }
    step();
}
