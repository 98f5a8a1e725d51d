#include "Diagnostics.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace {

void toStandardError(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

DiagnosticSink& currentSink() {
    static DiagnosticSink sink = toStandardError;
    return sink;
}

} // namespace

void diagnostic(const std::string& line) {
    const std::lock_guard<std::mutex> lock(sinkMutex());
    if (currentSink()) {
        currentSink()(line);
    }
}

DiagnosticSink setDiagnosticSink(DiagnosticSink sink) {
    const std::lock_guard<std::mutex> lock(sinkMutex());
    std::swap(currentSink(), sink);
    return sink;
}

DiagnosticsSilenced::DiagnosticsSilenced(bool quiet) : quiet(quiet) {
    if (quiet) {
        saved = setDiagnosticSink(DiagnosticSink());
    }
}

DiagnosticsSilenced::~DiagnosticsSilenced() {
    if (quiet) {
        setDiagnosticSink(std::move(saved));
    }
}
