#include "web_peers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include "core/settings.h"
#include "platform/socket.h"

namespace test {

JobDir::JobDir() : previous_(std::filesystem::current_path()) {
    std::filesystem::create_directories(dir_.path() / "www");
    std::filesystem::current_path(dir_.path());
}

JobDir::~JobDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
}

void JobDir::list(std::string_view ini_text) const {
    dir_.write("kestrom.ini", ini_text);
}

void JobDir::page(std::string_view name, std::string_view content) const {
    dir_.write("www/" + std::string(name), content);
}

void JobDir::site(const std::vector<std::pair<std::string, std::string>>& pages) const {
    std::string ini = "[FILES]\r\n";
    for (std::size_t i = 0; i < pages.size(); ++i) {
        page(pages[i].first, pages[i].second);
        ini += "FILE" + std::to_string(i + 1) + "=" + pages[i].first + "\r\n";
    }
    list(ini);
}

void point_settings_at(std::string_view address, int port, std::string_view login,
                       std::string_view password) {
    core::settings_set_text(core::Setting::ZorvaIPAddress, address);
    core::settings_set_port(port);
    core::settings_set_text(core::Setting::ZorvaLogin, login);
    core::settings_set_text(core::Setting::ZorvaPassword, password);
}

void expect_pages_landed(const std::filesystem::path& root,
                         const std::vector<std::pair<std::string, std::string>>& pages) {
    for (const auto& [name, content] : pages) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(std::filesystem::is_regular_file(root / name));
        const std::string landed = read_file(root / name);
        EXPECT_EQ(content.size(), landed.size());
        EXPECT_TRUE(landed == content) << "content differs";
    }
}

std::vector<std::pair<std::string, std::string>> make_pages(int count, std::size_t total_bytes,
                                                            bool with_empty) {
    std::mt19937 random(7305);
    std::vector<std::pair<std::string, std::string>> pages;
    for (int i = 0; i < count; ++i) {
        // Sizes vary between a half and one and a half times the mean.
        const std::size_t mean = total_bytes / static_cast<std::size_t>(count);
        const std::size_t size = mean / 2 + random() % (mean + 1);
        std::string content(size, '\0');
        for (std::size_t b = 0; b < size; ++b) content[b] = static_cast<char>(random() & 0xff);
        char name[32];
        std::snprintf(name, sizeof name, "page%02d.bin", i);
        pages.emplace_back(name, std::move(content));
    }
    if (with_empty) pages.emplace_back("empty.htm", "");
    return pages;
}

bool NginxDav::available() {
    return run_command("nginx -V 2>&1 | grep -q http_dav_module").status == 0;
}

NginxDav::NginxDav(Options options) {
    // A free port found by binding port 0 may be taken again before nginx binds it: retry.
    for (int attempt = 0; attempt < 5 && !started_; ++attempt) started_ = start(options);
}

NginxDav::~NginxDav() = default;

std::string NginxDav::error_log() const {
    return read_file(dir_ / "error.log");
}

bool NginxDav::start(const Options& options) {
    process_.reset();
    port_ = options.port;
    if (port_ == 0) {
        auto probe = platform::TcpListener::listen(platform::kLoopbackAddress, 0);
        if (!probe) return false;
        port_ = probe->local_endpoint().port;
    }
    const std::string d = dir_.path().string();
    std::filesystem::create_directories(dir_ / "root");
    std::filesystem::remove(dir_ / "nginx.pid");
    dir_.write("htpasswd", options.user + ":{PLAIN}" + options.password + "\n");
    dir_.write("nginx.conf",
               "daemon off;\n"
               "master_process off;\n"
               "user root;\n"
               "pid " +
                   d +
                   "/nginx.pid;\n"
                   "error_log " +
                   d +
                   "/error.log info;\n"
                   "events { worker_connections 64; }\n"
                   "http {\n"
                   "  access_log off;\n"
                   "  client_body_temp_path " +
                   d +
                   "/body;\n"
                   "  proxy_temp_path " +
                   d +
                   "/proxy;\n"
                   "  fastcgi_temp_path " +
                   d +
                   "/fastcgi;\n"
                   "  uwsgi_temp_path " +
                   d +
                   "/uwsgi;\n"
                   "  scgi_temp_path " +
                   d +
                   "/scgi;\n"
                   "  server {\n"
                   "    listen " +
                   options.address + ":" + std::to_string(port_) +
                   ";\n"
                   "    root " +
                   d +
                   "/root;\n"
                   "    client_max_body_size 0;\n"
                   "    location / {\n"
                   "      dav_methods PUT;\n"
                   "      create_full_put_path on;\n"
                   "      auth_basic \"kestrom\";\n"
                   "      auth_basic_user_file " +
                   d +
                   "/htpasswd;\n"
                   "    }\n"
                   "  }\n"
                   "}\n");
    process_ = std::make_unique<ChildProcess>(options.command_prefix + "nginx -p " + d + " -c " +
                                              d + "/nginx.conf -e " + d + "/error.log");
    // nginx writes its pid file after it has bound its listening socket.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists(dir_ / "nginx.pid")) return true;
        if (process_->wait(std::chrono::milliseconds(20)) != -1) return false;  // it exited
    }
    return false;
}

}  // namespace test
