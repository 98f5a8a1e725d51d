#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A file descriptor closed on every way out.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd; }
    // Gives up ownership without closing.
    int release();
    // Closes the one held and holds `other` instead.
    void reset(int other = -1);

private:
    int fd = -1;
};

// A pipe whose two ends close on exec, so that no child inherits the other's ends.
void makePipe(FileDescriptor& readEnd, FileDescriptor& writeEnd);

// A child process, waited for on every way out.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { wait(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs argv[0] with `in` and `out` as its standard input and output (-1: inherited). The
    // arguments go to the program as they are; no shell sees them. Throws std::system_error
    // with posix_spawn's error code when the program cannot be started.
    void spawn(const std::vector<std::string>& argv, int in, int out);
    void wait();

private:
    pid_t pid = -1;
};
