#include "PictureLoader.h"

#include "FileName.h"
#include "LuminanceStatistics.h"
#include "MipLevel.h"
#include "PictureReader.h"
#include "ViewLimits.h"
#include "rgbe.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <utility>

namespace {

// The height from a RADIANCE header ("-Y <height> +X <width>" after the first empty line),
// for the progress display only; 0 where it cannot tell. Pipes are not read twice.
int radianceHeight(const std::string& path) {
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(path, ignored)) {
        return 0;
    }
    std::ifstream file(path, std::ios::binary);
    std::string line;
    for (int i = 0; i < 256 && std::getline(file, line); ++i) {
        if (line.empty()) {
            int height = 0;
            int width = 0;
            return std::getline(file, line) &&
                           std::sscanf(line.c_str(), "-Y %d +X %d", &height, &width) == 2 &&
                           height > 0
                       ? height
                       : 0;
        }
    }
    return 0;
}

} // namespace

PictureLoader::PictureLoader(std::string path, const SizeLimit& limit, bool mipmapped,
                             std::function<void()> finished)
    : onFinished(std::move(finished)),
      worker([this, path = std::move(path), limit, mipmapped] { run(path, limit, mipmapped); }) {}

PictureLoader::~PictureLoader() {
    cancel();
    worker.join();
}

void PictureLoader::cancel() {
    cancelled = true;
}

void PictureLoader::run(const std::string& path, const SizeLimit& limit, bool mipmapped) {
    try {
        Picture picture;
        if (hasSuffix(path, ".hdr")) {
            height = radianceHeight(path);
            const rgbe::RowCallback callback = [this](int row) {
                if (cancelled) {
                    throw LoadCancelled();
                }
                rows = row + 1;
            };
            picture = readRadiance(path, limit, &callback);
        } else {
            picture = readPicture(path, limit);
        }
        // The histogram and statistics of the whole picture, while its pixels are all here.
        picture.statistics = LuminanceStatistics::of(
            picture,
            defaultProjection(picture.width, picture.height, picture.projectionHint) !=
                Projection::Flat,
            [this] { return cancelled.load(); });
        // Float pictures go up as they are, and the upload tells they cannot be shown.
        if (mipmapped && (picture.encoding == PixelEncoding::Rgbe ||
                          picture.encoding == PixelEncoding::Rgb8)) {
            levels = mipLevels(std::move(picture), [this](int) {
                if (cancelled) {
                    throw LoadCancelled();
                }
            });
        } else {
            levels.push_back(std::move(picture));
        }
    } catch (...) {
        levels.clear();
        error = std::current_exception();
    }
    finished = true;
    if (onFinished) {
        onFinished();
    }
}

std::vector<Picture> PictureLoader::take() {
    if (error) {
        std::rethrow_exception(error);
    }
    return std::move(levels);
}
