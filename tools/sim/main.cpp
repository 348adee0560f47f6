// kestrom-sim: a simulated Zorva controller for trying kestrom without hardware. It serves the
// controller's command shell (telnet, no option negotiation) and its web server (HTTP/1.0 PUT)
// until it gets SIGINT or SIGTERM. Each listening port is announced on standard output as
// "kestrom-sim: telnet on A:P" and "kestrom-sim: http on A:P" (with the port actually taken, so
// port 0 may be asked for), followed by one line per event.
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "http_server.h"
#include "platform/net.h"
#include "telnet_shell.h"

namespace {

constexpr const char* kUsage =
    "usage: kestrom-sim [OPTIONS]\n"
    "\n"
    "A simulated controller: its command shell on TCP (telnet) and its web server (HTTP PUT).\n"
    "\n"
    "  --address A           listen on this IPv4 address (default 127.0.0.1)\n"
    "  --port N              shell port (default 23; 0 picks a free one)\n"
    "  --login L             login name for the shell and the web server (default admin)\n"
    "  --password P          password for both (default 7305)\n"
    "  --version V           firmware version shown behind \"Rev \" (default 3.2)\n"
    "  --record FILE         append every byte the shell receives to FILE\n"
    "misbehaviours of the shell:\n"
    "  --greet-on-line-end   no greeting until a line end arrives\n"
    "  --no-password-prompt  answer the login name with nothing\n"
    "  --no-rev              answer \"1scv\" without \"Rev \"\n"
    "  --no-yn               refuse \"update\" without asking y/n\n"
    "  --greeting-size N     pad the greeting to at least N bytes\n"
    "  --drip-ms N           send answers one byte at a time, N ms apart\n"
    "  --flood N             send N bytes of output (no prompt in it) before the greeting\n"
    "  --silent              answer nothing at all\n"
    "  --close-in-answer N   cut the N-th answer (1 = greeting) in half and close\n"
    "  --nul-bytes N         put N NUL bytes ahead of every answer\n"
    "  --long-line N         put a line of N bytes ahead of every answer\n"
    "web server:\n"
    "  --http-port N         web server port (default 80; 0 picks a free one)\n"
    "  --no-http             no web server\n"
    "  --www DIR             store uploaded files below DIR (default: in memory only)\n"
    "  --http-status N       answer every request with status N and change nothing\n"
    "misbehaviours of the web server:\n"
    "  --http-endless-status a status line that never ends\n"
    "  --http-never-read     accept connections and never read them\n"
    "  --http-huge-header N  send N bytes of header lines behind the status line\n"
    "  --http-reset-mid-body reset the connection half way through a request body\n"
    "  --help                show this text\n";

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) {
    g_stop = 1;
}

std::mutex g_out_mutex;

void say(const std::string& text) {
    std::lock_guard lock(g_out_mutex);
    std::printf("kestrom-sim: %s\n", text.c_str());
    std::fflush(stdout);
}

bool to_number(std::string_view text, long long low, long long high, long long* out) {
    long long n = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), n);
    if (r.ec != std::errc{} || r.ptr != text.data() + text.size() || n < low || n > high)
        return false;
    *out = n;
    return true;
}

int usage_error(const std::string& what) {
    std::fprintf(stderr, "kestrom-sim: %s\n%s", what.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    sim::ShellOptions shell;
    sim::HttpOptions http;
    bool http_on = true;
    std::uint32_t address = platform::kLoopbackAddress;
    shell.report = say;
    http.report = say;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view option = args[i];
        const auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        long long n = 0;
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (option == "--greet-on-line-end") {
            shell.greet_on_line_end = true;
        } else if (option == "--no-password-prompt") {
            shell.no_password_prompt = true;
        } else if (option == "--no-rev") {
            shell.no_rev = true;
        } else if (option == "--no-yn") {
            shell.no_yn = true;
        } else if (option == "--silent") {
            shell.silent = true;
        } else if (option == "--http-endless-status") {
            http.endless_status = true;
        } else if (option == "--http-never-read") {
            http.never_read = true;
        } else if (option == "--http-reset-mid-body") {
            http.reset_mid_body = true;
        } else if (option == "--no-http") {
            http_on = false;
        } else if (const auto v = value(); !v) {
            return usage_error("unknown option or missing value: " + std::string(option));
        } else if (option == "--address") {
            const auto parsed = platform::parse_dotted(*v);
            if (!parsed) return usage_error("not a dotted-quad address: " + std::string(*v));
            address = *parsed;
        } else if (option == "--port") {
            if (!to_number(*v, 0, 65535, &n)) return usage_error("bad port: " + std::string(*v));
            shell.port = static_cast<std::uint16_t>(n);
        } else if (option == "--http-port") {
            if (!to_number(*v, 0, 65535, &n)) return usage_error("bad port: " + std::string(*v));
            http.port = static_cast<std::uint16_t>(n);
        } else if (option == "--login") {
            shell.login = http.login = std::string(*v);
        } else if (option == "--password") {
            shell.password = http.password = std::string(*v);
        } else if (option == "--version") {
            shell.version = std::string(*v);
        } else if (option == "--record") {
            shell.record_file = std::string(*v);
        } else if (option == "--greeting-size") {
            if (!to_number(*v, 0, 1 << 20, &n)) return usage_error("bad size: " + std::string(*v));
            shell.greeting_size = static_cast<std::size_t>(n);
        } else if (option == "--drip-ms") {
            if (!to_number(*v, 0, 60000, &n)) return usage_error("bad delay: " + std::string(*v));
            shell.drip = std::chrono::milliseconds(n);
        } else if (option == "--flood") {
            if (!to_number(*v, 0, 1LL << 50, &n))
                return usage_error("bad size: " + std::string(*v));
            shell.flood_bytes = static_cast<std::uint64_t>(n);
        } else if (option == "--close-in-answer") {
            if (!to_number(*v, 1, 6, &n)) return usage_error("bad answer: " + std::string(*v));
            shell.close_in_answer = static_cast<int>(n);
        } else if (option == "--nul-bytes") {
            if (!to_number(*v, 0, 1 << 26, &n)) return usage_error("bad size: " + std::string(*v));
            shell.nul_bytes = static_cast<std::size_t>(n);
        } else if (option == "--long-line") {
            if (!to_number(*v, 0, 1 << 26, &n)) return usage_error("bad size: " + std::string(*v));
            shell.long_line = static_cast<std::size_t>(n);
        } else if (option == "--http-huge-header") {
            if (!to_number(*v, 0, 1LL << 32, &n))
                return usage_error("bad size: " + std::string(*v));
            http.huge_header = static_cast<std::size_t>(n);
        } else if (option == "--www") {
            http.www = std::string(*v);
        } else if (option == "--http-status") {
            if (!to_number(*v, 100, 999, &n)) return usage_error("bad status: " + std::string(*v));
            http.forced_status = static_cast<int>(n);
        } else {
            return usage_error("unknown option: " + std::string(option));
        }
    }
    shell.address = http.address = address;

    // Before the ports are announced, so that whoever waits for them may stop us at once.
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    std::string error;
    const auto telnet = sim::TelnetShell::start(shell, &error);
    if (!telnet) {
        std::fprintf(stderr, "kestrom-sim: cannot listen on %s:%u: %s\n",
                     platform::to_dotted(address).c_str(), unsigned{shell.port}, error.c_str());
        return 1;
    }
    say("telnet on " + platform::to_dotted(address) + ":" + std::to_string(telnet->port()));
    std::unique_ptr<sim::HttpServer> web;
    if (http_on) {
        web = sim::HttpServer::start(http, &error);
        if (!web) {
            std::fprintf(stderr, "kestrom-sim: cannot start the web server on %s:%u: %s\n",
                         platform::to_dotted(address).c_str(), unsigned{http.port}, error.c_str());
            return 1;
        }
        say("http on " + platform::to_dotted(address) + ":" + std::to_string(web->port()));
    }

    while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    say("stopping");
    return 0;
}
