// kestrom-sim: a simulated Zorva controller for trying kestrom without hardware. It serves the
// controller's command shell (telnet, no option negotiation) and its web server (HTTP/1.0 PUT)
// until it gets SIGINT or SIGTERM. Each listening port is announced on standard output as
// "kestrom-sim: telnet on A:P" and "kestrom-sim: http on A:P" (with the port actually taken, so
// port 0 may be asked for), followed by one line per event.
// With --boot IF it also restarts as the controller does after a confirmed update: it closes the
// shell and the web server, runs a network boot on IF (network_boot.h), takes the new version
// from the boot image and opens both again on the same ports.
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/number_text.h"
#include "http_server.h"
#include "network_boot.h"
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
    "network boot after \"update\" and \"y\":\n"
    "  --boot IF             close the shell and the web server, boot from the network on\n"
    "                        interface IF (DHCP, then a TFTP read of the boot file), take the\n"
    "                        version from the image's first line \"kestrom-sim firmware V\" and\n"
    "                        open both again with it (needs root: port 68, SO_BINDTODEVICE)\n"
    "  --boot-store FILE     write the boot image to FILE (default: memory only)\n"
    "  --boot-fail HOW       fail on purpose: none (no DISCOVER, the shell stays closed),\n"
    "                        halfway (the TFTP read stops half way, the shell stays closed),\n"
    "                        old-version (the shell comes back with the old version),\n"
    "                        no-shell (the whole boot, but the shell never comes back)\n"
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

int usage_error(const std::string& what) {
    std::fprintf(stderr, "kestrom-sim: %s\n%s", what.c_str(), kUsage);
    return 2;
}

struct BootMode {
    std::string interface;
    std::array<std::uint8_t, 6> hardware{};
    sim::BootFailure failure = sim::BootFailure::none_wanted;
    std::string store;  // the image goes here too when set
};

// The shell and the web server as they run now; both closed while the controller restarts.
struct Servers {
    std::unique_ptr<sim::TelnetShell> telnet;
    std::unique_ptr<sim::HttpServer> web;
};

// Starts one server (the shell or the web server) into `server`. When it cannot, says so on
// standard error, `cannot` ahead of the address ("cannot listen on A:P: why"); with `announce`,
// says where it listens, `name` ahead of the address ("telnet on A:P").
template <typename Server, typename Options>
bool start_server(std::unique_ptr<Server>& server, const Options& options, const char* cannot,
                  const char* name, bool announce) {
    std::string error;
    server = Server::start(options, &error);
    const std::string address = platform::to_dotted(options.address);
    if (!server) {
        std::fprintf(stderr, "kestrom-sim: %s %s:%u: %s\n", cannot, address.c_str(),
                     unsigned{options.port}, error.c_str());
        return false;
    }
    if (announce) say(std::string(name) + " on " + address + ":" + std::to_string(server->port()));
    return true;
}

// Opens the shell and, when on, the web server. With `announce` it says where they listen.
bool open_servers(Servers& servers, sim::ShellOptions& shell, sim::HttpOptions& http, bool http_on,
                  bool announce) {
    if (!start_server(servers.telnet, shell, "cannot listen on", "telnet", announce)) return false;
    if (http_on &&
        !start_server(servers.web, http, "cannot start the web server on", "http", announce))
        return false;
    // A restart comes back on the ports taken now, also where port 0 was asked for.
    shell.port = servers.telnet->port();
    if (servers.web) http.port = servers.web->port();
    return true;
}

// The restart after a confirmed update: closes both servers, boots, and opens them again with
// the new version. False when the controller stays down (a failure asked for, or a boot that did
// not end well); the caller then waits for the signal.
bool restart(Servers& servers, const BootMode& boot, sim::ShellOptions& shell,
             sim::HttpOptions& http, bool http_on) {
    // The confirming session closes itself after its last answer; let that answer leave first.
    const std::size_t sessions = servers.telnet->sessions().size();
    (void)servers.telnet->wait_sessions_ended(sessions, std::chrono::seconds(2));
    servers = {};
    say("shell closed, the controller restarts");
    if (boot.failure == sim::BootFailure::no_boot) {
        say("boot none: no network boot, the shell stays closed");
        return false;
    }
    sim::BootOptions options;
    options.interface = boot.interface;
    options.hardware = boot.hardware;
    options.halfway = boot.failure == sim::BootFailure::halfway;
    options.report = say;
    options.stopped = [] { return g_stop != 0; };
    const sim::BootResult result = sim::network_boot(options);
    if (!result.complete) {
        if (!g_stop) say("boot failed: " + result.failure + "; the shell stays closed");
        return false;
    }
    if (!boot.store.empty()) {
        std::ofstream out(boot.store, std::ios::binary | std::ios::trunc);
        out.write(result.image.data(), static_cast<std::streamsize>(result.image.size()));
        if (!out.flush()) say("cannot write the boot image to " + boot.store);
    }
    const auto version = sim::image_version(result.image);
    if (!version) {
        say("boot image has no first line \"" + std::string(sim::kFirmwareMarker) +
            "V\", the version stays " + shell.version);
    } else if (boot.failure == sim::BootFailure::old_version) {
        say("boot image version " + *version + " not taken (old-version), the version stays " +
            shell.version);
    } else {
        shell.version = *version;
    }
    if (boot.failure == sim::BootFailure::no_shell) {
        say("shell not back (no-shell)");
        return false;
    }
    if (!open_servers(servers, shell, http, http_on, false)) return false;
    say("shell back, version " + shell.version);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    sim::ShellOptions shell;
    sim::HttpOptions http;
    bool http_on = true;
    std::uint32_t address = platform::kLoopbackAddress;
    std::optional<std::string> boot_interface, boot_store, boot_fail;
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
            if (!core::parse_whole_number(*v, 0, 65535, &n))
                return usage_error("bad port: " + std::string(*v));
            shell.port = static_cast<std::uint16_t>(n);
        } else if (option == "--http-port") {
            if (!core::parse_whole_number(*v, 0, 65535, &n))
                return usage_error("bad port: " + std::string(*v));
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
            if (!core::parse_whole_number(*v, 0, 1 << 20, &n))
                return usage_error("bad size: " + std::string(*v));
            shell.greeting_size = static_cast<std::size_t>(n);
        } else if (option == "--drip-ms") {
            if (!core::parse_whole_number(*v, 0, 60000, &n))
                return usage_error("bad delay: " + std::string(*v));
            shell.drip = std::chrono::milliseconds(n);
        } else if (option == "--flood") {
            if (!core::parse_whole_number(*v, 0, 1LL << 50, &n))
                return usage_error("bad size: " + std::string(*v));
            shell.flood_bytes = static_cast<std::uint64_t>(n);
        } else if (option == "--close-in-answer") {
            if (!core::parse_whole_number(*v, 1, 6, &n))
                return usage_error("bad answer: " + std::string(*v));
            shell.close_in_answer = static_cast<int>(n);
        } else if (option == "--nul-bytes") {
            if (!core::parse_whole_number(*v, 0, 1 << 26, &n))
                return usage_error("bad size: " + std::string(*v));
            shell.nul_bytes = static_cast<std::size_t>(n);
        } else if (option == "--long-line") {
            if (!core::parse_whole_number(*v, 0, 1 << 26, &n))
                return usage_error("bad size: " + std::string(*v));
            shell.long_line = static_cast<std::size_t>(n);
        } else if (option == "--http-huge-header") {
            if (!core::parse_whole_number(*v, 0, 1LL << 32, &n))
                return usage_error("bad size: " + std::string(*v));
            http.huge_header = static_cast<std::size_t>(n);
        } else if (option == "--www") {
            http.www = std::string(*v);
        } else if (option == "--http-status") {
            if (!core::parse_whole_number(*v, 100, 999, &n))
                return usage_error("bad status: " + std::string(*v));
            http.forced_status = static_cast<int>(n);
        } else if (option == "--boot") {
            boot_interface = std::string(*v);
        } else if (option == "--boot-store") {
            boot_store = std::string(*v);
        } else if (option == "--boot-fail") {
            boot_fail = std::string(*v);
        } else {
            return usage_error("unknown option: " + std::string(option));
        }
    }
    shell.address = http.address = address;
    std::optional<BootMode> boot;
    if (boot_interface) {
        boot.emplace();
        boot->interface = *boot_interface;
        const auto hardware = sim::interface_hardware_address(*boot_interface);
        if (!hardware) return usage_error("no hardware address for interface " + *boot_interface);
        boot->hardware = *hardware;
        if (boot_store) boot->store = *boot_store;
        if (boot_fail) {
            const auto failure = sim::parse_boot_failure(*boot_fail);
            if (!failure) return usage_error("unknown --boot-fail: " + *boot_fail);
            boot->failure = *failure;
        }
    } else if (boot_store || boot_fail) {
        return usage_error("--boot-store and --boot-fail need --boot");
    }

    // Before the ports are announced, so that whoever waits for them may stop us at once.
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    Servers servers;
    if (!open_servers(servers, shell, http, http_on, true)) return 1;

    bool down = false;  // restarted into a failure: no shell until the end
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!boot || down || servers.telnet->updates_confirmed() == 0) continue;
        down = !restart(servers, *boot, shell, http, http_on);
    }
    say("stopping");
    return 0;
}
