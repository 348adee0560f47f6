// A real nginx with WebDAV PUT and Basic authentication as a peer of the web pages update
// (Linux only: a child process).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "test_support.h"
#include "web_peers.h"

namespace test {

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
