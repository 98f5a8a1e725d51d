// Times readPicture on each file against the command given after "--" for it (the format
// library's own decoder), interleaved, in one process run: prints the medians and their ratio.
//
//   decode-bench RUNS FILE [-- COMMAND ARGS...] [FILE [-- COMMAND ...]] ...
//
// In a command, {} stands for the file and {out} for a scratch output file; "--end" ends a
// command that is not the last argument.

#include "Diagnostics.h"
#include "PictureReader.h"
#include "Stopwatch.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace {

struct Case {
    std::string file;
    std::vector<std::string> command;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// Runs the command with {} and {out} replaced, its output discarded; seconds it took.
double runCommand(const Case& c) {
    const std::string out = "/tmp/decode-bench-" + std::to_string(getpid()) + "-out" +
                            (c.command.empty() ? "" : ".png");
    std::vector<std::string> words;
    for (std::string word : c.command) {
        for (const auto& [key, value] : {std::pair<std::string, std::string>{"{out}", out},
                                         std::pair<std::string, std::string>{"{}", c.file}}) {
            for (std::size_t at = word.find(key); at != std::string::npos;
                 at = word.find(key, at + value.size())) {
                word.replace(at, key.size(), value);
            }
        }
        words.push_back(word);
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const double start = monotonicSeconds();
    // What is buffered would go out once more from the child.
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const double seconds = monotonicSeconds() - start;
    std::remove(out.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed on %s\n", argv[0], c.file.c_str());
        std::exit(1);
    }
    return seconds;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: decode-bench RUNS FILE [-- COMMAND ...] ...\n");
        return 2;
    }
    const int runs = std::max(1, std::atoi(argv[1]));
    std::vector<Case> cases;
    for (int i = 2; i < argc; ++i) {
        if (std::string(argv[i]) == "--" && !cases.empty()) {
            for (++i; i < argc && std::string(argv[i]) != "--end"; ++i) {
                cases.back().command.push_back(argv[i]);
            }
            continue;
        }
        cases.push_back({argv[i], {}});
    }
    const DiagnosticsSilenced quiet(true);
    SizeLimit limit;
    limit.pieceLimit = 16384;
    limit.maxPieces = 2;
    limit.maxRows = 2;
    std::printf("%-40s %10s %10s %7s\n", "file", "ours (s)", "tool (s)", "ratio");
    for (const Case& c : cases) {
        std::vector<double> ours;
        std::vector<double> tool;
        try {
            for (int r = 0; r < runs; ++r) {
                const double start = monotonicSeconds();
                Picture picture = readPicture(c.file, limit);
                ours.push_back(monotonicSeconds() - start);
                if (!c.command.empty()) {
                    tool.push_back(runCommand(c));
                }
            }
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
        const double a = median(ours);
        const double b = median(tool);
        std::printf("%-40s %10.3f %10.3f %7.2f\n", c.file.c_str(), a, b, b > 0 ? a / b : 0.0);
    }
    return 0;
}
