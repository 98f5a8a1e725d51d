#pragma once

// GLEW must come before any header that pulls in gl.h.
#include <GL/glew.h>

#include "Texture.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// One file of the set: what is known of it, and its picture on the card while it is resident.
struct PictureEntry {
    // Stable while the entry lives, also when entries before it leave the set.
    int id = 0;
    QString fileName;
    // Decimal megabytes when it was listed, for the "loading" line.
    qint64 fileBytes = 0;
    // Null while not resident.
    std::unique_ptr<Texture> texture;
    // Of the picture last loaded: kept while its texture is off the card, replaced by a
    // reload's.
    PictureMetadata metadata;
    // Stepped to in the shown file's folder rather than opened: < and > pass it by.
    bool browsed = false;
    // When it was last shown or read ahead (a counter): the longest unused goes first.
    std::uint64_t lastShown = 0;
};

// The pictures opened, in the order given. Textures go with their entries; whoever removes
// them keeps the GL context current.
class PictureSet {
public:
    int size() const { return static_cast<int>(entries.size()); }
    bool empty() const { return entries.empty(); }
    // Range-checked: std::out_of_range beyond the set.
    PictureEntry& at(int index) { return *entries.at(static_cast<std::size_t>(index)); }
    const PictureEntry& at(int index) const { return *entries.at(static_cast<std::size_t>(index)); }
    // The entry's index, -1 where it has left the set.
    int indexOf(int id) const;

    // Appends an entry and returns its id.
    int append(const QString& fileName, qint64 fileBytes = 0,
               std::unique_ptr<Texture> texture = nullptr, PictureMetadata metadata = {});
    // Removes the entry; `current`, an index into the set, keeps to its entry, or falls to
    // the next one (the first after the last).
    void remove(int index, int& current);
    void clear() { entries.clear(); }

    QStringList fileNames() const;
    // Resident pictures and the card's bytes they hold.
    int residentCount() const;
    std::size_t residentBytes() const;
    void markShown(int index);
    // The resident entry shown longest ago, apart from the entry `keep` and the texture
    // `busy`; -1 where there is none.
    int leastRecentlyShown(int keep, const Texture* busy = nullptr) const;

private:
    std::vector<std::unique_ptr<PictureEntry>> entries;
    int nextId = 1;
    std::uint64_t shownCount = 0;
};

// The card's bytes a texture holds: every level of every piece.
std::size_t textureBytes(const Texture& texture);
