#pragma once
// A fresh directory under $TMPDIR (or /tmp), removed with its contents at the end.
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include <ftw.h>
#include <unistd.h>

class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/brisane-test-XXXXXX";
        if (::mkdtemp(&pattern[0]) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        ::nftw(
            path_.c_str(),
            [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Writes `content` to `name` inside the directory and returns its path.
    std::string write(const std::string& name, const std::string& content) const {
        std::string p = file(name);
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }

private:
    std::string path_;
};
