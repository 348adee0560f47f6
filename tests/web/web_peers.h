// Helpers for tests of the web pages update: a job folder (list file and pages, entered as the
// current directory for the test's lifetime), the settings that point a job at a peer, and a
// real nginx with WebDAV PUT and Basic authentication as a peer. A test against any other HTTP
// PUT endpoint (the simulated controller, say) needs only a JobDir, point_settings_at() and
// expect_pages_landed() on the folder the endpoint stores into.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
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

// nginx from the distribution as a WebDAV PUT target with auth_basic, running as a child
// process with its own configuration, prefix and pid file in a temporary folder.
class NginxDav {
public:
    struct Options {
        std::string user = "admin";
        std::string password = "7305";
        std::string address = "127.0.0.1";
        std::uint16_t port = 0;      // 0: a free loopback port
        std::string command_prefix;  // e.g. NetNs::exec() to run inside a namespace
    };
    explicit NginxDav(Options options);
    ~NginxDav();
    NginxDav(const NginxDav&) = delete;
    NginxDav& operator=(const NginxDav&) = delete;

    static bool available();  // nginx with its WebDAV module is installed
    bool started() const { return started_; }
    std::uint16_t port() const { return port_; }
    std::filesystem::path root() const { return dir_ / "root"; }
    std::string error_log() const;

private:
    bool start(const Options& options);
    TempDir dir_;
    std::uint16_t port_ = 0;
    bool started_ = false;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace test
