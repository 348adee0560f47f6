#include "check/check.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string_view>

#include "core/load_report.h"
#include "core/sha256.h"
#include "dhcp/dhcp_message.h"
#include "dhcp/dhcp_probe.h"
#include "dhcp/dhcp_reply.h"
#include "dhcp/dhcp_service_loop.h"
#include "dhcp/lease_table.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "tftp/tftp_packet.h"
#include "tftp/tftp_service.h"
#include "update/firmware_update.h"
#include "web/web_update.h"

namespace check {
namespace {

namespace fs = std::filesystem;

// The services' ports (the TFTP service's default one) and the controller's shell's.
using dhcp::kDhcpClientPort;
using dhcp::kDhcpServerPort;
using update::kTelnetPort;
const std::uint16_t kTftpPort = tftp::TftpServiceOptions{}.port;
static_assert(CheckOptions{}.dhcp_port == kDhcpServerPort);

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// "2 s", or "1500 ms" where whole seconds would round.
std::string duration_text(std::chrono::milliseconds wait) {
    return wait.count() % 1000 == 0 ? std::to_string(wait.count() / 1000) + " s"
                                    : std::to_string(wait.count()) + " ms";
}

std::string cwd_text() {
    std::error_code ec;
    const fs::path p = fs::current_path(ec);
    return ec ? std::string(".") : p.string();
}

// Paths as the user's system writes them: "www/img/a.png" is "www\img\a.png" on Windows.
#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

std::string shown(std::string path) {
    std::replace(path.begin(), path.end(), '/', kSeparator);
    return path;
}

// A file of the current folder, relative ("./zorva.bin") and in full ("/home/a/zorva.bin").
std::string here(std::string_view name) {
    return shown("./" + std::string(name));
}
std::string in_cwd(std::string_view name) {
    return cwd_text() + kSeparator + shown(std::string(name));
}

CheckItem item(std::string name, CheckStatus status, std::string detail, std::string fix = {}) {
    return CheckItem{std::move(name), status, std::move(detail), std::move(fix)};
}

// Opens a regular file for reading; on failure *why says what stands in the way.
File open_regular(const std::string& path, std::string* why) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (!fs::exists(st)) {
        *why = "not found";
        return nullptr;
    }
    if (!fs::is_regular_file(st)) {
        *why = "not a regular file";
        return nullptr;
    }
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) *why = "not readable: " + platform::error_text(errno);
    return f;
}

CheckItem check_firmware() {
    // The TFTP service serves this file from ./ whatever name is asked for.
    const std::string firmware(tftp::kServedFileName);
    std::string why;
    const File f = open_regular(firmware, &why);
    if (!f)
        return item(firmware, CheckStatus::fail, here(firmware) + " " + why,
                    why == "not found"
                        ? "copy the firmware to " + in_cwd(firmware) +
                              ", or start kestrom in the folder that holds it"
                        : "make " + here(firmware) + " a file this user can read (chmod a+r " +
                              firmware + ")");

    core::Sha256 sha;
    std::uint64_t size = 0;
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), f.get());
        if (n == 0) break;
        sha.update(std::span(buffer.data(), n));
        size += n;
    }
    if (std::ferror(f.get()))
        return item(
            firmware, CheckStatus::fail,
            here(firmware) + " could not be read to its end: " + platform::error_text(errno),
            "copy the firmware file again");

    // The last block is the first short one, so a size that fills its last block whole needs
    // one empty block more.
    const std::uint64_t blocks = size / 512 + 1;
    std::string detail = std::to_string(size) + " bytes, SHA-256 " +
                         core::Sha256::hex(sha.finish()) + ", " + std::to_string(blocks) +
                         " blocks of 512 bytes";
    if (size == 0)
        return item(firmware, CheckStatus::warn, detail + "; the file is empty",
                    "copy the firmware file again");
    if (size > kLargestPlainRead)
        return item(firmware, CheckStatus::warn,
                    detail + "; a client without the blksize option stops at block 65534 (" +
                        std::to_string(kLargestPlainRead) + " bytes at most) with File Too Large",
                    "make sure the controller's boot loader asks for blksize (1024 or more)");
    return item(firmware, CheckStatus::ok, detail + "; fits clients without blksize");
}

void check_web_files(std::vector<CheckItem>& out) {
    std::string why;
    if (!open_regular(web::kListFileName, &why)) {
        out.push_back(item(web::kListFileName, CheckStatus::fail,
                           here(web::kListFileName) + " " + why,
                           std::string("put the list file ") + web::kListFileName +
                               " (section [FILES], FILE1=..., FILE2=...) in " + cwd_text()));
        return;
    }
    // Read as the web job reads it: FILE1, FILE2, ... up to the first missing number.
    std::vector<std::string> names;
    for (long long n = 1; auto name = web::listed_file(n); ++n) names.push_back(std::move(*name));
    const std::string sent_first = "format.dat is sent first (it formats the web flash)";
    // The web job sends nothing, not even format.dat, unless every listed page can be read.
    if (names.empty())
        out.push_back(item(web::kListFileName, CheckStatus::fail,
                           "lists no files under [FILES]; the web job sends nothing",
                           "list the pages as FILE1=name, FILE2=name, ... in section [FILES]"));
    else
        out.push_back(item(web::kListFileName, CheckStatus::ok,
                           "lists " + std::to_string(names.size()) + " files; " + sent_first));

    for (const std::string& name : names) {
        const std::string path = web::local_path(name);
        const File f = open_regular(path, &why);
        if (!f) {
            out.push_back(item(
                shown(path), CheckStatus::fail,
                shown(path) + " " + why + "; the web job sends nothing",
                "copy the page to " + in_cwd(path) + ", or remove it from " + web::kListFileName));
            continue;
        }
        std::error_code ec;
        const auto size = fs::file_size(path, ec);
        out.push_back(item(shown(path), CheckStatus::ok, std::to_string(ec ? 0 : size) + " bytes"));
    }
}

int prefix_length(std::uint32_t netmask) {
    return std::popcount(netmask);
}

std::string with_prefix(const platform::Ipv4Interface& i) {
    return platform::to_dotted(i.address) + "/" + std::to_string(prefix_length(i.netmask));
}

CheckItem check_interface(const std::optional<std::vector<platform::Ipv4Interface>>& interfaces,
                          int list_error, const std::optional<platform::Ipv4Interface>& chosen,
                          const core::ToolSettings& settings) {
    if (!interfaces)
        return item("interface", CheckStatus::fail,
                    "the interface list can't be read: " + platform::error_text(list_error),
                    "run kestrom where it can list the network interfaces");
    if (chosen)
        return item("interface", CheckStatus::ok,
                    "the DHCP service binds " + chosen->name + " " + with_prefix(*chosen));

    const std::string network =
        dhcp::pool_network_text(settings.ZorvaIPStartAddress, settings.netmask);
    std::string have;
    for (const auto& i : *interfaces)
        have +=
            (have.empty() ? "" : ", ") + i.name + " " + with_prefix(i) + (i.up ? "" : " (down)");
    return item("interface", CheckStatus::fail,
                "no interface is in " + network + " (pool start " + settings.ZorvaIPStartAddress +
                    "); this PC has " + (have.empty() ? std::string("no IPv4 address") : have) +
                    "; the DHCP service answers nothing until one is",
                "give the interface cabled to the controller an address in " + network +
                    " (ip addr add A.B.C.D/N dev IF), or set the pool start to "
                    "that interface's network (kestrom config set ZorvaIPStartAddress A.B.C.D)");
}

// ---- ports ----

CheckItem check_port(std::uint16_t port, const char* service) {
    const std::string name = "UDP " + std::to_string(port);
    const std::vector<platform::PortHolder> holders = platform::udp_port_holders(port);
    if (holders.empty()) return item(name, CheckStatus::ok, "free");

    // The window runs the check beside its own services: their sockets are no rival's.
    const long own = platform::current_process_id();
    std::string who;
    bool only_kestrom = true;
    for (const platform::PortHolder& h : holders) {
        if (h.pid == own) continue;
        if (h.pid == 0 || h.name != "kestrom") only_kestrom = false;
        who += (who.empty() ? "" : ", ") +
               (h.pid == 0 ? h.name : "PID " + std::to_string(h.pid) + " (" + h.name + ")");
    }
    if (who.empty()) return item(name, CheckStatus::ok, "served by this kestrom");
    if (only_kestrom)
        return item(name, CheckStatus::warn,
                    "held by " + who + ": kestrom is running already and serves " + service,
                    "use the kestrom that runs, or end it before starting another");
    return item(name, CheckStatus::fail, "held by " + who,
                std::string("stop that program (it takes the ") + service +
                    " requests meant for kestrom), then start kestrom again");
}

CheckItem check_permissions(const std::optional<platform::Ipv4Interface>& chosen) {
    const platform::BindPermission bind = platform::may_bind_privileged_ports();
    const std::string ports =
        "UDP " + std::to_string(kDhcpServerPort) + " and " + std::to_string(kTftpPort);
    std::string detail = (bind.allowed ? "may bind " : "may not bind ") + ports;
    CheckStatus status = bind.allowed ? CheckStatus::ok : CheckStatus::fail;
    std::string fix = bind.fix;
    if (chosen) {
        // Tried for real on a socket of our own; nothing is sent.
        int error = 0;
        auto socket = platform::UdpSocket::open(&error);
        if (socket && socket->bind_to_device(chosen->name, &error)) {
            detail += "; may tie DHCP to " + chosen->name;
        } else {
            detail += "; may not tie DHCP to " + chosen->name + " (" + platform::error_text(error) +
                      "): the DHCP service would not serve it";
            if (status == CheckStatus::ok) status = CheckStatus::warn;
            if (fix.empty()) fix = platform::tie_permission_fix();
        }
    }
    return item("permissions", status, detail, fix);
}

// ---- pool ----

CheckItem check_pool(const core::ToolSettings& settings,
                     const std::optional<platform::Ipv4Interface>& chosen) {
    if (!chosen)
        return item("pool", CheckStatus::warn, "not checked: no interface is in the pool's network",
                    "see interface");

    // The pool exactly as the service builds it.
    const auto entries = dhcp::LeaseTable::from_settings(settings)->entries();
    if (entries.empty())
        return item("pool", CheckStatus::fail, "the pool is empty", "set PoolSize to 1 or more");
    const std::uint32_t first = entries.front().address, last = entries.back().address;
    const std::uint32_t pool_mask = entries.front().netmask;
    const std::uint32_t mask = chosen->netmask;
    std::string detail = platform::to_dotted(first) + " to " + platform::to_dotted(last) + " (" +
                         std::to_string(entries.size()) + " addresses), mask " +
                         platform::to_dotted(pool_mask);
    CheckStatus status = CheckStatus::ok;
    std::vector<std::string> problems, fixes;
    const auto add = [&](CheckStatus s, std::string problem, std::string fix) {
        status = std::max(status, s);
        problems.push_back(std::move(problem));
        fixes.push_back(std::move(fix));
    };

    const std::uint32_t subnet = chosen->address & mask;
    const std::string subnet_text =
        platform::to_dotted(subnet) + "/" + std::to_string(prefix_length(mask));
    if ((first & mask) != subnet || (last & mask) != subnet) {
        add(CheckStatus::fail, "not inside " + chosen->name + "'s subnet " + subnet_text,
            "set ZorvaIPStartAddress to a free address in " + subnet_text);
    } else if (mask != 0xffffffff && mask != 0xfffffffe &&
               ((first & ~mask) == 0 || (last | mask) == 0xffffffff)) {
        add(CheckStatus::fail, "holds the subnet's network or broadcast address",
            "keep the pool between the first and last address of " + subnet_text);
    }
    if (chosen->address >= first && chosen->address <= last)
        add(CheckStatus::fail,
            "holds this PC's own address " + platform::to_dotted(chosen->address),
            "move ZorvaIPStartAddress past " + platform::to_dotted(chosen->address) +
                " or lower PoolSize");

    std::uint8_t start = 0;
    (void)dhcp::get_octet(settings.ZorvaIPStartAddress, start, 3);
    const long long wanted_last =
        static_cast<long long>(start) + core::decimal_value(settings.PoolSize);
    if (wanted_last < start || wanted_last > 255)
        add(CheckStatus::warn,
            "PoolSize " + std::string(settings.PoolSize) + " from ." + std::to_string(start) +
                " passes .255 and is cut there",
            "set PoolSize to at most " + std::to_string(255 - start));
    if (pool_mask != mask)
        add(CheckStatus::warn,
            "clients get the mask " + platform::to_dotted(pool_mask) + ", " + chosen->name +
                " has " + platform::to_dotted(mask),
            "kestrom config set netmask " + platform::to_dotted(mask));

    for (std::size_t i = 0; i < problems.size(); ++i) {
        detail += "; " + problems[i];
    }
    std::string fix;
    for (const auto& f : fixes) fix += (fix.empty() ? "" : "; ") + f;
    return item("pool", status, detail, fix);
}

// ---- DHCP probe ----

std::array<std::uint8_t, 6> hardware_address_of(const std::string& interface_name) {
    std::array<std::uint8_t, 6> mac{};
    std::ifstream in("/sys/class/net/" + interface_name + "/address");
    unsigned v[6]{};
    std::string text;
    if (std::getline(in, text) && std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1],
                                              &v[2], &v[3], &v[4], &v[5]) == 6) {
        for (int i = 0; i < 6; ++i) mac[i] = static_cast<std::uint8_t>(v[i]);
        if (std::any_of(mac.begin(), mac.end(), [](std::uint8_t b) { return b != 0; })) return mac;
    }
    std::random_device random;
    for (auto& b : mac) b = static_cast<std::uint8_t>(random());
    mac[0] = static_cast<std::uint8_t>((mac[0] & 0xfe) | 0x02);  // locally administered, unicast
    return mac;
}

CheckItem check_rival_servers(const std::optional<platform::Ipv4Interface>& chosen,
                              const CheckOptions& options) {
    const char* name = "DHCP servers";
    if (!options.probe)
        return item(name, CheckStatus::ok, "not probed (kestrom check --probe sends one DISCOVER)");
    if (!chosen)
        return item(name, CheckStatus::warn, "not probed: no interface to probe on",
                    "configure the interface first (see interface)");

    int error = 0;
    auto socket = platform::UdpSocket::open(&error);
    bool ready = socket.has_value() && socket->set_reuse_address(true) &&
                 socket->set_broadcast(true, &error) &&
                 socket->bind_to_device(chosen->name, &error);
    if (ready &&
        socket->bind(platform::kAnyAddress, kDhcpClientPort, &error) != platform::BindError::none)
        ready = false;
    if (!ready)
        return item(name, CheckStatus::warn,
                    "not probed: no socket on UDP " + std::to_string(kDhcpClientPort) + " of " +
                        chosen->name + " (" + platform::error_text(error) + ")",
                    "run the check as root, with no DHCP client holding port " +
                        std::to_string(kDhcpClientPort));

    dhcp::ClientMessage request;
    std::random_device random;
    for (auto& b : request.xid) b = static_cast<std::uint8_t>(random());
    request.chaddr = hardware_address_of(chosen->name);
    request.broadcast = true;  // we have no address yet
    request.parameter_requests = {dhcp::kOptionSubnetMask, dhcp::kOptionRouter,
                                  dhcp::kOptionDomainNameServer};
    const dhcp::dhcp_packet discover = dhcp::client_message(request);
    if (socket->send_to(discover, {platform::kBroadcastAddress, kDhcpServerPort}, &error) < 0)
        return item(
            name, CheckStatus::warn,
            "not probed: the DISCOVER could not be sent (" + platform::error_text(error) + ")",
            "check that " + chosen->name + " is up");

    std::vector<std::string> rivals;
    bool own_answered = false;
    const auto deadline = std::chrono::steady_clock::now() + options.wait;
    std::array<std::uint8_t, 1500> buffer{};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (socket->wait_readable(left) != platform::WaitResult::readable) break;
        platform::Endpoint from;
        const int n = socket->receive_from(buffer, &from, &error);
        if (n < 0) break;
        const auto offer = dhcp::parse_server_reply(
            std::span(buffer.data(), static_cast<std::size_t>(n)), request.xid);
        if (!offer || offer->type != dhcp::kDhcpOffer) continue;
        const std::uint32_t server = offer->server_id != 0 ? offer->server_id : from.address;
        if (server == chosen->address || from.address == chosen->address) {
            own_answered = true;  // a kestrom (or other server) on this very PC
            continue;
        }
        const std::string text =
            platform::to_dotted(server) + " offered " + platform::to_dotted(offer->offered);
        if (std::find(rivals.begin(), rivals.end(), text) == rivals.end()) rivals.push_back(text);
    }
    const std::string waited = duration_text(options.wait);
    if (rivals.empty())
        return item(name, CheckStatus::ok,
                    "no other server answered a DISCOVER on " + chosen->name + " within " + waited +
                        (own_answered ? " (a server on this PC did)" : ""));
    std::string list;
    for (const auto& r : rivals) list += (list.empty() ? "" : "; ") + r;
    return item(name, CheckStatus::fail,
                "another DHCP server answers on " + chosen->name + ": " + list,
                "switch off that server's DHCP (a router's or a dnsmasq) or give the controller a "
                "network of its own: it may take its address and boot file from the other server");
}

// ---- controller ----

CheckItem check_connect(const std::string& name, std::uint32_t address, int port,
                        const CheckOptions& options, const std::string& what) {
    const std::string target = platform::to_dotted(address) + ":" + std::to_string(port);
    if (port <= 0 || port > 65535)
        return item(name, CheckStatus::fail, "port " + std::to_string(port) + " is no TCP port",
                    "kestrom config set Zorva_TFTP_TCP_PORT 80");
    int error = 0;
    const auto s = platform::TcpSocket::connect({address, static_cast<std::uint16_t>(port)}, &error,
                                                options.wait);
    if (s) return item(name, CheckStatus::ok, target + " reachable");
    const std::string check_address =
        "check that the controller is on, cabled to this network, and "
        "that ZorvaIPAddress is its address (kestrom config set "
        "ZorvaIPAddress A.B.C.D)";
    if (error == platform::kErrorConnectionRefused)
        return item(name, CheckStatus::fail, target + " refused: nothing listens there",
                    "enable the controller's " + what + ", or " + check_address);
    if (error == platform::kErrorTimedOut)
        return item(name, CheckStatus::fail,
                    target + " no answer within " + duration_text(options.wait), check_address);
    return item(name, CheckStatus::fail, target + " " + platform::error_text(error),
                check_address + "; this PC needs a route to it");
}

void check_controller(const core::ToolSettings& settings, const CheckOptions& options,
                      std::vector<CheckItem>& out) {
    std::string why;
    const auto address = platform::resolve_host(settings.ZorvaIPAddress, &why);
    if (!address) {
        for (const char* name : {"controller telnet", "controller HTTP"})
            out.push_back(item(name, CheckStatus::fail,
                               std::string("controller address '") + settings.ZorvaIPAddress +
                                   "' can't be resolved" + (why.empty() ? "" : ": " + why),
                               "kestrom config set ZorvaIPAddress A.B.C.D"));
        return;
    }
    out.push_back(
        check_connect("controller telnet", *address, kTelnetPort, options, "telnet shell"));
    out.push_back(check_connect("controller HTTP", *address, settings.Zorva_TFTP_TCP_PORT, options,
                                "web server"));
}

}  // namespace

const char* status_text(CheckStatus status) {
    switch (status) {
        case CheckStatus::ok:
            return "ok";
        case CheckStatus::warn:
            return "warn";
        case CheckStatus::fail:
            return "fail";
    }
    return "fail";
}

std::vector<CheckItem> run_checks(const core::ToolSettings& settings, const CheckOptions& options) {
    std::vector<CheckItem> out;
    out.push_back(check_firmware());
    check_web_files(out);
    out.push_back(item("load folder", CheckStatus::ok,
                       cwd_text() + ", where " + std::string(tftp::kServedFileName) + ", " +
                           web::kListFileName + " and " + shown(web::kWebDirectory) + " are read"));

    // The service's own choice: the kernel's list in its order, matched on the pool start.
    int list_error = 0;
    const auto interfaces = platform::local_ipv4_interfaces(&list_error);
    std::optional<platform::Ipv4Interface> chosen;
    if (interfaces) chosen = dhcp::choose_interface(*interfaces, settings.ZorvaIPStartAddress);
    out.push_back(check_interface(interfaces, list_error, chosen, settings));
    out.push_back(check_pool(settings, chosen));

    out.push_back(check_port(options.dhcp_port, "DHCP"));
    out.push_back(check_port(options.tftp_port, "TFTP"));
    out.push_back(check_permissions(chosen));
    out.push_back(check_rival_servers(chosen, options));
    check_controller(settings, options, out);
    return out;
}

}  // namespace check

namespace check {

CheckStatus overall_status(const std::vector<CheckItem>& items) {
    CheckStatus worst = CheckStatus::ok;
    for (const auto& i : items) worst = std::max(worst, i.status);
    return worst;
}

std::string check_summary(const std::vector<CheckItem>& items) {
    int failed = 0, warned = 0;
    for (const auto& i : items) {
        failed += i.status == CheckStatus::fail;
        warned += i.status == CheckStatus::warn;
    }
    const std::string verdict =
        failed ? "a controller will not boot from this PC until the failures are fixed"
               : "a controller can boot from this PC";
    return verdict + ": " + std::to_string(failed) + " failed, " + std::to_string(warned) +
           " warnings";
}

nlohmann::ordered_json check_document(const std::vector<CheckItem>& items) {
    nlohmann::ordered_json document;
    document["items"] = nlohmann::ordered_json::array();
    for (const auto& i : items)
        document["items"].push_back({{"item", i.item},
                                     {"status", status_text(i.status)},
                                     {"detail", i.detail},
                                     {"fix", i.fix}});
    document["status"] = status_text(overall_status(items));
    return document;
}

std::vector<CheckItem> run_and_report_checks(const core::ToolSettings& settings,
                                             const CheckOptions& options) {
    std::vector<CheckItem> items = run_checks(settings, options);
    core::report("check", check_document(items));
    return items;
}

}  // namespace check
