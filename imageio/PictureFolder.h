#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// The paths (folder joined with the name) of the regular files in `folder` whose names
// `readable` takes, in naturalLess order of their names. Symbolic links to regular files
// count; folders, FIFOs, devices, dangling links and names starting with '.' do not. An
// entry whose type cannot be read (removed while the folder is listed) is left out; a
// folder that cannot be listed throws std::runtime_error naming it. "" is the current folder.
std::vector<std::string>
picturesInFolder(const std::string& folder,
                 const std::function<bool(const std::string& name)>& readable);

// Where a file stands among the pictures of its folder, as picturesInFolder lists them: the
// index of the first picture whose name orders after or at the file's name, and whether that
// picture is the file itself. The file is matched by its name, so that the folder's spelling
// may differ; it need not be listed (filtered out, removed, not yet written).
struct FolderPlace {
    std::size_t index = 0;
    bool listed = false;
};
FolderPlace placeInFolder(const std::vector<std::string>& pictures, const std::string& path);

// The picture `steps` places after `path` (before it when negative), clamped to the first
// and the last: the arrow keys are 1 and -1, the page keys a screenful. A file not listed
// stands between its neighbours, so 1 is the first after it and -1 the last before it; 0
// is then the one after it, or the last. Home and End are the front and back of `pictures`.
// Returns "" when there are no pictures.
std::string pictureStepsAway(const std::vector<std::string>& pictures, const std::string& path,
                             long steps);
