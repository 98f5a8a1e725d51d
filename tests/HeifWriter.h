#pragma once

// HEIF files written with libheif's encoder, for the tests.
#define heif_reader libheif_reader
#include <libheif/heif.h>
#undef heif_reader

#include <gtest/gtest.h>

#include <memory>

using Context = std::unique_ptr<heif_context, decltype(&heif_context_free)>;
using Handle = std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)>;
using Image = std::unique_ptr<heif_image, decltype(&heif_image_release)>;

// Codes lossless in RGB (matrix 0, 4:4:4), with an nclx box of `primaries` and `transfer`.
inline Handle addImage(heif_context* context, heif_image* image, int primaries, int transfer) {
    heif_encoder* encoder = nullptr;
    EXPECT_EQ(heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code,
              heif_error_Ok);
    heif_encoder_set_lossless(encoder, 1);
    heif_encoder_set_parameter_string(encoder, "chroma", "444");
    std::unique_ptr<heif_color_profile_nclx, decltype(&heif_nclx_color_profile_free)> nclx(
        heif_nclx_color_profile_alloc(), &heif_nclx_color_profile_free);
    nclx->color_primaries = static_cast<heif_color_primaries>(primaries);
    nclx->transfer_characteristics = static_cast<heif_transfer_characteristics>(transfer);
    nclx->matrix_coefficients = heif_matrix_coefficients_RGB_GBR;
    nclx->full_range_flag = 1;
    std::unique_ptr<heif_encoding_options, decltype(&heif_encoding_options_free)> options(
        heif_encoding_options_alloc(), &heif_encoding_options_free);
    options->output_nclx_profile = nclx.get();
    // libheif leaves the colr box out by default and wraps odd sizes in grids, for an old
    // macOS.
    options->macOS_compatibility_workaround_no_nclx_profile = 0;
    options->macOS_compatibility_workaround = 0;
    heif_image_set_nclx_color_profile(image, nclx.get());
    heif_image_handle* handle = nullptr;
    EXPECT_EQ(heif_context_encode_image(context, image, encoder, options.get(), &handle).code,
              heif_error_Ok);
    heif_encoder_release(encoder);
    return Handle(handle, &heif_image_handle_release);
}
