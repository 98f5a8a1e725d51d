#include "Stopwatch.h"

#include "Diagnostics.h"

#include <fmt/printf.h>

#include <chrono>

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Stopwatch::Stopwatch() : start(monotonicSeconds()) {}

double Stopwatch::lap() {
    const double end = monotonicSeconds();
    const double elapsed = end - start;
    start = end;
    return elapsed;
}

double Stopwatch::lap(const char* label) {
    const double elapsed = lap();
    diagnostic(fmt::sprintf("%s %20s: %3.3fs", "[T]", label, elapsed));
    return elapsed;
}
