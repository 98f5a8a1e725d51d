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

// Where the kernel gives transparent huge pages only to memory advised for them and an
// argument names a file of 4 MB or more, runs this program again (argv and envp as the
// process got them) with glibc's malloc advising its large blocks: the GL driver's texture
// storage and other libraries' pictures are then faulted in 2 MiB at a time, which halves a
// large picture's load on a machine whose page faults are slow. Returns when the program
// already runs so, when the kernel or the allocator would not take the advice (sanitizer
// builds), for smaller files, whose load takes less than a new start (30 ms here), or when
// the new start fails. Uses the C library alone, so that a program can call it from its
// pre-initialisers (MAROVEX_RESTART_EARLY), before its libraries' own start-up: starting
// again then costs little more than mapping them.
void restartWithHugePageAdvice(char** argv, char** envp);

// Where the new start's environment goes: `capacity` pointers and an `entrySize`-byte string.
struct RestartEnvironment {
    char** environment;
    std::size_t capacity;
    char* entry;
    std::size_t entrySize;
};

// The environment restartWithHugePageAdvice starts with, whatever the kernel's mode: envp with
// the tunable added to GLIBC_TUNABLES (or that variable added), null-terminated. False, with
// the target's contents left undefined, where no new start is wanted (no large file; the tunable already
// there) or the target is too small.
bool hugePageEnvironment(char** argv, char** envp, const RestartEnvironment& target);

// Calls restartWithHugePageAdvice from the executable's .preinit_array; once, in the file of
// its main function.
#define MAROVEX_RESTART_EARLY                                                                      \
    extern "C" void marovexRestartEarly(int, char** argv, char** envp) {                           \
        restartWithHugePageAdvice(argv, envp);                                                     \
    }                                                                                              \
    __attribute__((section(".preinit_array"), used)) void (*const marovexRestartEntry)(            \
        int, char**, char**) = marovexRestartEarly;
