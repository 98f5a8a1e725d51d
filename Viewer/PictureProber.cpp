#include "PictureProber.h"

#include "PictureReader.h"

#include <exception>

PictureProber::PictureProber(const SizeLimit& limit,
                             std::function<void(int id, const std::string& error)> verdict)
    : limit(limit), verdict(std::move(verdict)), worker([this] { run(); }) {}

PictureProber::~PictureProber() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    added.notify_all();
    worker.join();
}

void PictureProber::add(int id, const std::string& path) {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        queue.emplace_back(id, path);
    }
    added.notify_all();
}

void PictureProber::run() {
    for (;;) {
        std::pair<int, std::string> next;
        {
            std::unique_lock<std::mutex> lock(mutex);
            added.wait(lock, [this] { return stopping || !queue.empty(); });
            if (stopping) {
                return;
            }
            next = std::move(queue.front());
            queue.pop_front();
        }
        std::string error;
        try {
            probePicture(next.second, limit);
        } catch (const std::exception& failure) {
            error = failure.what();
        }
        verdict(next.first, error);
    }
}
