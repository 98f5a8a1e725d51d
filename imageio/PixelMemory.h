#pragma once

#include <cstddef>
#include <memory>

// Pixel buffers from the C allocator. Large ones are aligned to a huge page and advised for
// transparent huge pages: a fresh picture then costs a page fault per 2 MiB, not per 4 KiB.
struct PixelRelease {
    void operator()(unsigned char* bytes) const noexcept;
};

using PixelBuffer = std::unique_ptr<unsigned char[], PixelRelease>;

// size bytes, uninitialised; throws std::bad_alloc.
PixelBuffer allocatePixels(std::size_t size);

// Advises the whole pages inside [bytes, bytes + size) for huge pages where size is large;
// for buffers that another allocator made.
void adviseHugePages(void* bytes, std::size_t size);
