#include "PixelMemory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

constexpr std::size_t hugePage = std::size_t(2) << 20;

} // namespace

void PixelRelease::operator()(unsigned char* bytes) const noexcept {
    std::free(bytes);
}

PixelBuffer allocatePixels(std::size_t size) {
    if (size < hugePage) {
        void* bytes = std::malloc(size > 0 ? size : 1);
        if (bytes == nullptr) {
            throw std::bad_alloc();
        }
        return PixelBuffer(static_cast<unsigned char*>(bytes));
    }
    // Whole huge pages, so that the last one is not left to small pages either.
    if (size > SIZE_MAX - hugePage) {
        throw std::bad_alloc();
    }
    const std::size_t rounded = (size + hugePage - 1) / hugePage * hugePage;
    void* bytes = nullptr;
    if (posix_memalign(&bytes, hugePage, rounded) != 0) {
        throw std::bad_alloc();
    }
    // Advice only speeds faults up; a kernel without it serves small pages.
    madvise(bytes, rounded, MADV_HUGEPAGE);
    return PixelBuffer(static_cast<unsigned char*>(bytes));
}

void adviseHugePages(void* bytes, std::size_t size) {
    if (size < hugePage) {
        return;
    }
    const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(bytes) + page - 1) / page * page;
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(bytes) + size) / page * page;
    if (end > begin) {
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
}
