#pragma once

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

// What a forked child saw: the error text (or "no error") and how far its peak resident memory
// grew above what it held when it started, in MiB.
struct ChildRead {
    std::string text;
    long grownMiB = 0;
};

inline long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(1 << 20, '\n');
    }
    return 0;
}

// Runs `action` in a child process, so that its peak memory is its own.
inline ChildRead inChild(const std::function<std::string()>& action) {
    int fds[2];
    if (pipe(fds) != 0) {
        throw std::runtime_error("pipe");
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const long before = residentKiB();
        std::string text;
        try {
            text = action();
        } catch (const std::exception& error) {
            text = error.what();
        }
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        const std::string report = std::to_string((usage.ru_maxrss - before) / 1024) + "\n" + text;
        const ssize_t written = write(fds[1], report.data(), report.size());
        _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string report;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
        report.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    ChildRead result;
    const std::size_t line = report.find('\n');
    if (line != std::string::npos) {
        result.grownMiB = std::stol(report.substr(0, line));
        result.text = report.substr(line + 1);
    }
    return result;
}
