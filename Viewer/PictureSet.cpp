#include "PictureSet.h"

#include <algorithm>

int PictureSet::indexOf(int id) const {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i]->id == id) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int PictureSet::append(const QString& fileName, qint64 fileBytes, std::unique_ptr<Texture> texture,
                       PictureMetadata metadata) {
    auto entry = std::make_unique<PictureEntry>();
    entry->id = nextId++;
    entry->fileName = fileName;
    entry->fileBytes = fileBytes;
    entry->texture = std::move(texture);
    entry->metadata = std::move(metadata);
    entries.push_back(std::move(entry));
    return entries.back()->id;
}

void PictureSet::remove(int index, int& current) {
    entries.erase(entries.begin() + index);
    if (index < current) {
        --current;
    }
    if (current >= size()) {
        current = 0;
    }
}

QStringList PictureSet::fileNames() const {
    QStringList names;
    for (const auto& entry : entries) {
        names << entry->fileName;
    }
    return names;
}

int PictureSet::residentCount() const {
    return static_cast<int>(std::count_if(entries.begin(), entries.end(), [](const auto& entry) {
        return entry->texture != nullptr;
    }));
}

std::size_t PictureSet::residentBytes() const {
    std::size_t bytes = 0;
    for (const auto& entry : entries) {
        if (entry->texture) {
            bytes += textureBytes(*entry->texture);
        }
    }
    return bytes;
}

void PictureSet::markShown(int index) {
    at(index).lastShown = ++shownCount;
}

int PictureSet::leastRecentlyShown(int keep, const Texture* busy) const {
    int found = -1;
    for (int i = 0; i < size(); ++i) {
        const PictureEntry& entry = *entries[static_cast<std::size_t>(i)];
        if (i != keep && entry.texture && entry.texture.get() != busy &&
            (found < 0 || entry.lastShown < entries[static_cast<std::size_t>(found)]->lastShown)) {
            found = i;
        }
    }
    return found;
}

std::size_t textureBytes(const Texture& texture) {
    // Four bytes a texel (RGB9_E5, RGBA8; RGB8 is padded to four by drivers), a third more
    // for the levels above the first.
    const std::size_t texels = static_cast<std::size_t>(texture.width) * texture.height;
    return texture.levels > 1 ? texels * 4 * 4 / 3 : texels * 4;
}
