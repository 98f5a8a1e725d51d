#pragma once

#include <string>

// A fresh file beside `target` with the same extension (or `extension`, ".png" say, when one
// is given), to be written and then renamed over `target` by commit(); removed unless
// committed, so a failed run leaves no partial file.
class PendingFile {
public:
    explicit PendingFile(const std::string& target, const std::string& extension = "");
    ~PendingFile();

    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    const std::string& path() const { return temporary; }
    void commit();

private:
    std::string target;
    std::string temporary;
    bool committed = false;
};
