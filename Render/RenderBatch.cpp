#include "RenderBatch.h"

#include "RenderOptions.h"
#include "RenderView.h"

#include <boost/filesystem/operations.hpp>
#include <fmt/printf.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <stdexcept>

void reportLine(const std::string& text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
        line.pop_back();
    }
    for (char& c : line) {
        if (c == '\n') {
            c = ' ';
        }
    }
    std::fprintf(stderr, "marovex-render: %s\n", line.c_str());
}

namespace {

// One line rewritten in place; cleared before any other line is printed.
class Progress {
public:
    explicit Progress(std::size_t total) : total(total), shown(isatty(STDERR_FILENO) == 1) {}
    ~Progress() { clear(); }

    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void show(std::size_t done, const std::string& name) {
        if (!shown) {
            return;
        }
        const std::string line = fmt::sprintf("[%zu/%zu] %s", done + 1, total, name);
        // Long names are cut so that the line never wraps on an ordinary terminal.
        const std::string cut = line.size() > 78 ? line.substr(0, 75) + "..." : line;
        std::fprintf(stderr, "\r\033[K%s", cut.c_str());
        std::fflush(stderr);
    }

    void clear() {
        if (shown) {
            std::fputs("\r\033[K", stderr);
            std::fflush(stderr);
        }
    }

private:
    std::size_t total;
    bool shown;
};

} // namespace

int renderBatch(const RenderOptions& options, const char* programName) {
    try {
        boost::filesystem::create_directories(options.outputDir);
    } catch (const std::exception&) {
        // The folder's own error comes with the first output that cannot be written.
    }
    std::unique_ptr<RenderContext> context;
    // Two inputs of one name in different folders would overwrite each other's output.
    std::map<std::string, std::string> written;
    int failures = 0;
    Progress progress(options.inputs.size());
    for (std::size_t i = 0; i < options.inputs.size(); ++i) {
        const std::string& input = options.inputs[i];
        const std::string output = batchOutput(options, input);
        progress.show(i, input);
        try {
            const auto earlier = written.find(output);
            if (earlier != written.end()) {
                throw std::runtime_error(
                    fmt::sprintf("'%s' is written already from '%s'", output, earlier->second));
            }
            if (!context) {
                context = std::make_unique<RenderContext>(programName);
            }
            context->render(options, input, output);
            written.emplace(output, input);
        } catch (const std::exception& error) {
            progress.clear();
            reportLine(fmt::sprintf("%s: %s", input, error.what()));
            ++failures;
            // Without a context no other input can succeed: one line says so for all.
            if (!context) {
                return 1;
            }
        }
    }
    return failures == 0 ? 0 : 1;
}
