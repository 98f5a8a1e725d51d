#include "PictureFolder.h"

#include "NaturalOrder.h"

#include <fmt/printf.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace {

std::runtime_error listFailure(const std::string& folder, const std::error_code& error) {
    return std::runtime_error(
        fmt::sprintf("Failed to list folder '%s': %s", folder, error.message()));
}

// The part after the last slash: picturesInFolder's paths all end in a name of their folder.
std::string nameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::vector<std::string>
picturesInFolder(const std::string& folder,
                 const std::function<bool(const std::string& name)>& readable) {
    std::error_code error;
    fs::directory_iterator entries(folder.empty() ? fs::path(".") : fs::path(folder), error);
    if (error) {
        throw listFailure(folder, error);
    }
    std::vector<std::string> names;
    for (; entries != fs::directory_iterator(); entries.increment(error)) {
        if (error) {
            throw listFailure(folder, error);
        }
        std::string name = entries->path().filename().string();
        // The name first, which costs no system call; the file's type is stat()ed only then.
        if (name.empty() || name[0] == '.' || !readable(name)) {
            continue;
        }
        // Follows links; a file removed since it was listed fails here and is left out.
        std::error_code typeError;
        if (entries->is_regular_file(typeError) && !typeError) {
            names.push_back(std::move(name));
        }
    }
    if (error) {
        throw listFailure(folder, error);
    }
    std::sort(names.begin(), names.end(), naturalLess);
    std::vector<std::string> paths;
    paths.reserve(names.size());
    const fs::path base(folder);
    for (const std::string& name : names) {
        paths.push_back((base / name).string());
    }
    return paths;
}

FolderPlace placeInFolder(const std::vector<std::string>& pictures, const std::string& path) {
    const std::string name = nameOf(path);
    const auto found = std::lower_bound(pictures.begin(), pictures.end(), name,
                                        [](const std::string& picture, const std::string& wanted) {
                                            return naturalLess(nameOf(picture), wanted);
                                        });
    FolderPlace place;
    place.index = static_cast<std::size_t>(found - pictures.begin());
    place.listed = found != pictures.end() && nameOf(*found) == name;
    return place;
}

std::string pictureStepsAway(const std::vector<std::string>& pictures, const std::string& path,
                             long steps) {
    if (pictures.empty()) {
        return std::string();
    }
    const FolderPlace place = placeInFolder(pictures, path);
    const std::size_t last = pictures.size() - 1;
    // An unlisted file stands just before pictures[index]: forward steps count from the
    // place before that picture, so that one step reaches it.
    std::size_t target = 0;
    if (steps > 0) {
        const std::size_t forward = static_cast<std::size_t>(steps) - (place.listed ? 0 : 1);
        target =
            place.index >= last || forward >= last - place.index ? last : place.index + forward;
    } else if (steps < 0) {
        // -(steps + 1) + 1 is the magnitude without overflowing at the smallest long.
        const std::size_t back = static_cast<std::size_t>(-(steps + 1)) + 1;
        target = back >= place.index ? 0 : place.index - back;
    } else {
        target = std::min(place.index, last);
    }
    return pictures[target];
}
