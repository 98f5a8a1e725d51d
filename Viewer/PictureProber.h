#pragma once

#include "Picture.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Reads the headers of files on a thread of its own, one after the other in the order they
// were added, and tells each one's verdict: an empty text where the header is good, else the
// reader's error. So a list's files that are not loaded yet are still judged in its order.
// The destructor stops after the file at hand and joins the thread.
class PictureProber {
public:
    // `verdict` runs on the prober's thread.
    PictureProber(const SizeLimit& limit,
                  std::function<void(int id, const std::string& error)> verdict);
    ~PictureProber();
    PictureProber(const PictureProber&) = delete;
    PictureProber& operator=(const PictureProber&) = delete;

    void add(int id, const std::string& path);

private:
    void run();

    SizeLimit limit;
    std::function<void(int, const std::string&)> verdict;
    std::mutex mutex;
    std::condition_variable added;
    std::deque<std::pair<int, std::string>> queue;
    bool stopping = false;
    // Last, so that it starts once every field above exists.
    std::thread worker;
};
