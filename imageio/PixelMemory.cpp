#include "PixelMemory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool ownAllocator = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool ownAllocator = true;
#else
constexpr bool ownAllocator = false;
#endif
#else
constexpr bool ownAllocator = false;
#endif

// The kernel's mode, as "always [madvise] never" shows it; read with the C library alone.
bool hugePagesOnAdviceOnly() {
    const int file = open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return false;
    }
    char mode[256] = {};
    const ssize_t got = read(file, mode, sizeof mode - 1);
    close(file);
    return got > 0 && std::strstr(mode, "[madvise]") != nullptr;
}

// Whether an argument after the program's name is a regular file of 4 MB or more: a
// compressed picture of tens of millions of pixels (a RADIANCE panorama of 8192 x 4096 may
// be 15 MB), whose texture memory would fault in small pages for longer than its decode.
// Smaller ones load in about the time a second start takes (30 ms).
bool namesALargeFile(char** argv) {
    for (char** argument = argv + 1; *argument != nullptr; ++argument) {
        struct stat status;
        if (stat(*argument, &status) == 0 && S_ISREG(status.st_mode) &&
            status.st_size >= (off_t(4) << 20)) {
            return true;
        }
    }
    return false;
}

} // namespace

bool hugePageEnvironment(char** argv, char** envp, const RestartEnvironment& target) {
    static const char name[] = "GLIBC_TUNABLES=";
    static const char tunable[] = "glibc.malloc.hugetlb=1";
    if (argv == nullptr || argv[0] == nullptr || envp == nullptr || target.capacity < 2 ||
        !namesALargeFile(argv)) {
        return false;
    }
    std::size_t count = 0;
    const char* tunables = nullptr;
    for (char** variable = envp; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, name, sizeof name - 1) == 0) {
            tunables = *variable + sizeof name - 1;
        } else if (count + 2 < target.capacity) {
            target.environment[count++] = *variable;
        } else {
            return false;
        }
    }
    // Once only: the new start finds the tunable, whatever its value.
    if (tunables != nullptr && std::strstr(tunables, "glibc.malloc.hugetlb") != nullptr) {
        return false;
    }
    const int length =
        tunables != nullptr && *tunables != '\0'
            ? std::snprintf(target.entry, target.entrySize, "%s%s:%s", name, tunables, tunable)
            : std::snprintf(target.entry, target.entrySize, "%s%s", name, tunable);
    if (length < 0 || static_cast<std::size_t>(length) >= target.entrySize) {
        return false;
    }
    target.environment[count++] = target.entry;
    target.environment[count] = nullptr;
    return true;
}

void restartWithHugePageAdvice(char** argv, char** envp) {
    // Static: the C library's own start-up may not have run yet.
    static char* environment[4096];
    static char entry[8192];
    // The arguments first: most starts name no large file and need not read the kernel's mode.
    if (!ownAllocator &&
        hugePageEnvironment(argv, envp, {environment, 4096, entry, sizeof entry}) &&
        hugePagesOnAdviceOnly()) {
        execve("/proc/self/exe", argv, environment);
    }
    // Still here: this start goes on as it was, its environment untouched.
}
