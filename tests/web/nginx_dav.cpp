#include "nginx_dav.h"

#include <chrono>
#include <thread>

#include "platform/socket.h"

namespace test {

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
