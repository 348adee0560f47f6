// A fresh hive for one test: KESTROM_REGISTRY points into a new temporary directory (the hive
// file appears with the first write) and is put back as it was afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "test_support.h"

namespace test {

class TempHive {
public:
    TempHive() : path_(dir_ / "config" / "registry.db") {
        if (const char* old = std::getenv("KESTROM_REGISTRY")) old_ = old;
        ::setenv("KESTROM_REGISTRY", path_.c_str(), 1);
    }
    ~TempHive() {
        if (old_)
            ::setenv("KESTROM_REGISTRY", old_->c_str(), 1);
        else
            ::unsetenv("KESTROM_REGISTRY");
    }
    TempHive(const TempHive&) = delete;
    TempHive& operator=(const TempHive&) = delete;

    const std::filesystem::path& path() const { return path_; }
    const TempDir& dir() const { return dir_; }
    // Points KESTROM_REGISTRY at another file below the same directory.
    std::filesystem::path use(const std::string& name) {
        path_ = dir_ / name;
        ::setenv("KESTROM_REGISTRY", path_.c_str(), 1);
        return path_;
    }

private:
    TempDir dir_;
    std::filesystem::path path_;
    std::optional<std::string> old_;
};

}  // namespace test
