// Helpers for tests of the web pages update: a job folder (list file and pages, entered as the
// current directory for the test's lifetime) and the settings that point a job at a peer (a
// real nginx is in nginx_dav.h). A test against any HTTP PUT endpoint (the simulated
// controller, say) needs only a JobDir, point_settings_at() and expect_pages_landed() on the
// folder the endpoint stores into.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "test_support.h"

namespace test {

// A temporary folder holding "kestrom.ini" and "www/", made the current directory until the
// object goes (the job reads both relative to it).
class JobDir {
public:
    JobDir();
    ~JobDir();
    JobDir(const JobDir&) = delete;
    JobDir& operator=(const JobDir&) = delete;
    const std::filesystem::path& path() const { return dir_.path(); }
    void list(std::string_view ini_text) const;                        // writes kestrom.ini
    void page(std::string_view name, std::string_view content) const;  // writes www/<name>
    // Writes every page and a list naming them FILE1.. in order (each line ends in "\r\n").
    void site(const std::vector<std::pair<std::string, std::string>>& pages) const;

private:
    TempDir dir_;
    std::filesystem::path previous_;
};

// Sets the record's address, HTTP port, login and password (the job reads nothing else).
void point_settings_at(std::string_view address, int port, std::string_view login = "admin",
                       std::string_view password = "7305");

// Checks that every page of `pages` lies in `root` under its name, byte for byte.
void expect_pages_landed(const std::filesystem::path& root,
                         const std::vector<std::pair<std::string, std::string>>& pages);

// `count` pages of pseudo-random bytes (every byte value occurs) summing to about
// `total_bytes`, named page00.bin, page01.bin, ... plus an empty one when `with_empty`.
std::vector<std::pair<std::string, std::string>> make_pages(int count, std::size_t total_bytes,
                                                            bool with_empty);

}  // namespace test
