// Preloaded into a viewer (LD_PRELOAD) to time a picture's load from outside, so that builds
// without any hook of their own are measured the same way:
// - time 0 is the process's start, as the kernel tells it, so that a viewer that starts itself
//   again counts from its first start (the viewer opens the file of its command line at
//   once; an older build draws no frame before its load ends, so no frame can be the origin);
// - a frame "shows the picture" once most of its pixels are lit (the loading frame is black
//   but for a line of text), read back from the back buffer before each swap;
// - the picture is at full resolution once PROBE_WIDTH x PROBE_HEIGHT texels have gone to
//   level 0 of 2D textures at least half the picture's width (glTexImage2D or glTexSubImage2D,
//   whole or in halves or slices; a reduced copy shown first and glyphs are narrower; tiled
//   arrays are not counted); the first swap after that is the first full-resolution frame;
// - a 15 ms Qt timer on the window's thread, started as the application object is made,
//   ticks as the event loop lets it; the longest gap between ticks up to the full-resolution
//   frame is the freeze; the longest one that starts after the window's first frame is told
//   apart, as the window's start-up (GL context, the first frame's drawing code) ends there;
// - the load starts when the viewer first opens a file named as PROBE_FILE's last component
//   (open or fopen); the longest stretch without a tick from then on is the freeze during the
//   load, apart from the window's start-up before it;
// - peak resident memory is the process's VmHWM.
// 0.3 s after the full-resolution frame one line goes to PROBE_OUT and the process ends:
//   <first view s> <full resolution s> <longest tick gap ms> <peak RSS MB> <swaps>
//   <longest tick gap after the first frame ms> <longest time without a tick in the load ms>
// Qt before Xlib, whose macros (Bool) break Qt's headers.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <GL/gl.h>
#include <GL/glx.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

// How long ago the kernel started this process, to its clock's tick (10 ms here).
double secondsSinceStart() {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Field 22, counted after the command name, which may hold spaces but ends with ')'.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
    }
    // Seconds since boot, the clock the start time counts in, to 10 ms.
    std::ifstream uptime("/proc/uptime");
    double sinceBoot = 0.0;
    uptime >> sinceBoot;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return std::max(0.0, sinceBoot - std::atof(field.c_str()) / ticks);
}

std::string lastComponent(const char* path) {
    if (path == nullptr) {
        return {};
    }
    const std::string text(path);
    return text.substr(text.rfind('/') + 1);
}

struct Probe {
    Probe() {
        clock.start();
        if (trace) {
            std::fprintf(stderr, "probe: origin %.3f s on the monotonic clock\n",
                         std::chrono::duration<double>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count());
        }
    }
    // PROBE_TRACE: every swap and every gap over 50 ms to standard error as well.
    const bool trace = std::getenv("PROBE_TRACE") != nullptr;
    QElapsedTimer clock;
    double firstView = -1.0;
    double fullFrame = -1.0;
    double lastTick = 0.0;
    double longestGap = 0.0;
    // The window's first frame, and the longest gap between ticks after it.
    double firstFrame = -1.0;
    double longestGapShown = 0.0;
    // When the picture's file was first opened (-1 before), and the longest stretch without a
    // tick since.
    std::atomic<double> loadStart{-1.0};
    double longestGapLoading = 0.0;
    std::string fileName = lastComponent(std::getenv("PROBE_FILE"));
    long swaps = 0;
    long width = std::atol(std::getenv("PROBE_WIDTH") ? std::getenv("PROBE_WIDTH") : "0");
    long height = std::atol(std::getenv("PROBE_HEIGHT") ? std::getenv("PROBE_HEIGHT") : "0");
    std::atomic<long long> level0Texels{0};
    std::vector<unsigned char> frame;

    // Seconds since the process started, also across an exec (a viewer that starts itself
    // again loads this library again).
    double now() const { return started + static_cast<double>(clock.nsecsElapsed()) * 1.0e-9; }
    double started = secondsSinceStart();
};

Probe& probe() {
    static Probe instance;
    return instance;
}

// Set once the probe is made: files its making opens are not the picture's.
std::atomic<bool> probeMade{false};

// The clock starts as the library is loaded, before main.
[[maybe_unused]] const bool clockStarted = (probe(), probeMade = true, true);

template <typename F> F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

long peakMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + 6) / 1024;
        }
    }
    return -1;
}

void report() {
    Probe& p = probe();
    const char* out = std::getenv("PROBE_OUT");
    std::FILE* file = out != nullptr ? std::fopen(out, "w") : stdout;
    if (file != nullptr) {
        std::fprintf(file, "%.3f %.3f %.0f %ld %ld %.0f %.0f\n", p.firstView, p.fullFrame,
                     p.longestGap * 1000.0, peakMegabytes(), p.swaps,
                     p.longestGapShown * 1000.0, p.longestGapLoading * 1000.0);
        std::fclose(file);
    }
    std::_Exit(0);
}

void tick() {
    Probe& p = probe();
    if (p.fullFrame >= 0.0) {
        return;
    }
    const double t = p.now();
    if (p.trace && t - p.lastTick > 0.05) {
        std::fprintf(stderr, "probe: gap of %.0f ms ending at %.3f s\n", (t - p.lastTick) * 1000.0,
                     t);
    }
    p.longestGap = std::max(p.longestGap, t - p.lastTick);
    if (p.firstFrame >= 0.0 && p.lastTick >= p.firstFrame) {
        p.longestGapShown = std::max(p.longestGapShown, t - p.lastTick);
    }
    const double loadStart = p.loadStart;
    if (loadStart >= 0.0) {
        p.longestGapLoading = std::max(p.longestGapLoading, t - std::max(p.lastTick, loadStart));
    }
    p.lastTick = t;
}

// Whether most pixels of the back buffer are lit.
bool showsPicture() {
    Probe& p = probe();
    GLint viewport[4] = {0, 0, 0, 0};
    glGetIntegerv(GL_VIEWPORT, viewport);
    if (viewport[2] <= 0 || viewport[3] <= 0) {
        return false;
    }
    GLint readBuffer = 0;
    GLint alignment = 4;
    glGetIntegerv(GL_READ_BUFFER, &readBuffer);
    glGetIntegerv(GL_PACK_ALIGNMENT, &alignment);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    p.frame.resize(static_cast<std::size_t>(viewport[2]) * viewport[3] * 3);
    glReadPixels(viewport[0], viewport[1], viewport[2], viewport[3], GL_RGB, GL_UNSIGNED_BYTE,
                 p.frame.data());
    glPixelStorei(GL_PACK_ALIGNMENT, alignment);
    glReadBuffer(static_cast<GLenum>(readBuffer));
    std::size_t lit = 0;
    for (std::size_t i = 0; i < p.frame.size(); i += 3) {
        lit += p.frame[i] + p.frame[i + 1] + p.frame[i + 2] > 24 ? 1 : 0;
    }
    return lit * 2 > p.frame.size() / 3;
}

void countRows(GLenum target, GLint level, GLsizei width, GLsizei height) {
    Probe& p = probe();
    if (target != GL_TEXTURE_2D || level != 0) {
        return;
    }
    GLint textureWidth = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &textureWidth);
    if (p.width > 0 && 2 * textureWidth >= p.width) {
        p.level0Texels += static_cast<long long>(width) * height;
    }
}

void startTicks() {
    Probe& p = probe();
    p.lastTick = p.now();
    auto* timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, tick);
    timer->start(15);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startTicks)

extern "C" {

void glXSwapBuffers(Display* display, GLXDrawable drawable) {
    static const auto swap = real<void (*)(Display*, GLXDrawable)>("glXSwapBuffers");
    Probe& p = probe();
    const bool full = p.width > 0 && p.level0Texels >= static_cast<long long>(p.width) * p.height;
    const bool lit = p.firstView < 0.0 && showsPicture();
    swap(display, drawable);
    ++p.swaps;
    const double t = p.now();
    if (lit) {
        p.firstView = t;
    }
    if (p.firstFrame < 0.0) {
        p.firstFrame = t;
    }
    if (p.trace) {
        std::fprintf(stderr, "probe: swap at %.3f s%s\n", t, lit ? " (first view)" : "");
    }
    if (full && p.fullFrame < 0.0) {
        tick();
        p.fullFrame = t;
        QTimer::singleShot(300, QCoreApplication::instance(), report);
    }
}

// The load's start: the first opening of the picture's file, from any thread.
void noteOpening(const char* path) {
    if (!probeMade) {
        return;
    }
    Probe& p = probe();
    if (path == nullptr || p.fileName.empty() || p.loadStart >= 0.0 ||
        lastComponent(path) != p.fileName) {
        return;
    }
    double unset = -1.0;
    p.loadStart.compare_exchange_strong(unset, p.now());
}

int open(const char* path, int flags, ...) {
    static const auto real_open = real<int (*)(const char*, int, ...)>("open");
    noteOpening(path);
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    return real_open(path, flags, mode);
}

FILE* fopen(const char* path, const char* mode) {
    static const auto real_fopen = real<FILE* (*)(const char*, const char*)>("fopen");
    noteOpening(path);
    return real_fopen(path, mode);
}

// The same functions on 64-bit systems, under the names large-file builds call.
int open64(const char* path, int flags, ...) __attribute__((alias("open")));
FILE* fopen64(const char* path, const char* mode) __attribute__((alias("fopen")));

void glTexImage2D(GLenum target, GLint level, GLint internalFormat, GLsizei width, GLsizei height,
                  GLint border, GLenum format, GLenum type, const void* data) {
    static const auto upload =
        real<void (*)(GLenum, GLint, GLint, GLsizei, GLsizei, GLint, GLenum, GLenum, const void*)>(
            "glTexImage2D");
    upload(target, level, internalFormat, width, height, border, format, type, data);
    GLint unpackBuffer = 0;
    glGetIntegerv(GL_PIXEL_UNPACK_BUFFER_BINDING, &unpackBuffer);
    if (data != nullptr || unpackBuffer != 0) {
        countRows(target, level, width, height);
    }
}

void glTexSubImage2D(GLenum target, GLint level, GLint x, GLint y, GLsizei width, GLsizei height,
                     GLenum format, GLenum type, const void* data) {
    static const auto upload =
        real<void (*)(GLenum, GLint, GLint, GLint, GLsizei, GLsizei, GLenum, GLenum, const void*)>(
            "glTexSubImage2D");
    upload(target, level, x, y, width, height, format, type, data);
    countRows(target, level, width, height);
}

} // extern "C"
