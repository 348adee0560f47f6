#include "platform/net.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace platform {

std::uint32_t inet_addr_value(std::string_view text) {
    const std::string copy(text);  // inet_addr needs a terminated text
    return ntohl(::inet_addr(copy.c_str()));
}

std::optional<std::uint32_t> resolve_host(std::string_view name, std::string* error) {
    if (name.empty()) {
        if (error) *error = "empty host name";
        return std::nullopt;
    }
    const std::string host(name);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        if (error) *error = rc == EAI_SYSTEM ? error_text(errno) : ::gai_strerror(rc);
        if (found) ::freeaddrinfo(found);
        return std::nullopt;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const std::uint32_t address = ntohl(in->sin_addr.s_addr);
    ::freeaddrinfo(found);
    return address;
}

std::optional<std::vector<Ipv4Interface>> local_ipv4_interfaces(int* error) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        if (error) *error = errno;
        return std::nullopt;
    }
    std::vector<Ipv4Interface> result;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        Ipv4Interface entry;
        entry.name = i->ifa_name ? i->ifa_name : "";
        entry.index = i->ifa_name ? ::if_nametoindex(i->ifa_name) : 0;
        entry.up = (i->ifa_flags & IFF_UP) != 0;
        entry.address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        if (i->ifa_netmask)
            entry.netmask =
                ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
        result.push_back(std::move(entry));
    }
    ::freeifaddrs(list);
    return result;
}

namespace {

// A file descriptor closed with its owner.
class OwnedFd {
public:
    explicit OwnedFd(int fd) : fd_(fd) {}
    ~OwnedFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The neighbour states whose hardware address is known: what INCOMPLETE and FAILED lack.
constexpr unsigned kUsableStates =
    NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT;

// Copies a T from bytes[offset..] when they hold all of it.
template <typename T>
bool read_at(const std::uint8_t* bytes, std::size_t size, std::size_t offset, T* out) {
    if (offset > size || size - offset < sizeof(T)) return false;
    std::memcpy(out, bytes + offset, sizeof(T));
    return true;
}

enum class NeighbourWalk { go_on, done, failed };

// One RTM_NEWNEIGH message (header included, `size` bytes): stores the hardware address when it
// is an IPv4 entry for `address` in a usable state.
void read_neighbour(const std::uint8_t* message, std::size_t size, std::uint32_t address,
                    std::optional<MacAddress>* found) {
    ndmsg neighbour{};
    if (!read_at(message, size, NLMSG_HDRLEN, &neighbour)) return;
    if (neighbour.ndm_family != AF_INET || (neighbour.ndm_state & kUsableStates) == 0) return;
    std::optional<std::uint32_t> destination;
    std::optional<MacAddress> hardware;
    for (std::size_t at = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ndmsg)); at < size;) {
        rtattr attribute{};
        if (!read_at(message, size, at, &attribute)) return;
        const std::size_t length = attribute.rta_len;
        if (length < sizeof(rtattr) || length > size - at) return;
        const std::size_t payload = at + RTA_LENGTH(0), payload_size = length - RTA_LENGTH(0);
        if (attribute.rta_type == NDA_DST && payload_size == 4) {
            std::uint32_t value = 0;
            std::memcpy(&value, message + payload, 4);
            destination = ntohl(value);
        } else if (attribute.rta_type == NDA_LLADDR && payload_size == 6) {
            MacAddress mac{};
            std::memcpy(mac.data(), message + payload, 6);
            hardware = mac;
        }
        at += RTA_ALIGN(length);
    }
    if (destination == address && hardware) *found = hardware;
}

// The messages of one datagram of the dump answer to request `sequence`.
NeighbourWalk read_neighbours(const std::uint8_t* bytes, std::size_t size, std::uint32_t sequence,
                              std::uint32_t address, std::optional<MacAddress>* found) {
    for (std::size_t at = 0; at < size;) {
        nlmsghdr header{};
        if (!read_at(bytes, size, at, &header)) return NeighbourWalk::failed;
        const std::size_t length = header.nlmsg_len;
        if (length < sizeof(nlmsghdr) || length > size - at) return NeighbourWalk::failed;
        if (header.nlmsg_seq == sequence) {
            if (header.nlmsg_type == NLMSG_DONE) return NeighbourWalk::done;
            if (header.nlmsg_type == NLMSG_ERROR) return NeighbourWalk::failed;
            if (header.nlmsg_type == RTM_NEWNEIGH && !*found)
                read_neighbour(bytes + at, length, address, found);
        }
        at += NLMSG_ALIGN(length);
    }
    return NeighbourWalk::go_on;
}

// The kernel's neighbour table over netlink: the outer nullopt when it can't be read.
std::optional<std::optional<MacAddress>> netlink_hardware_address(std::uint32_t address) {
    const OwnedFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.get() < 0) return std::nullopt;
    // A kernel that never ends the dump must not hold the caller.
    const timeval timeout{2, 0};
    (void)::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    // A socket of its own per call: the kernel's answers on it are ours alone.
    constexpr std::uint32_t sequence = 1;
    struct {
        nlmsghdr header;
        ndmsg body;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ndmsg));
    request.header.nlmsg_type = RTM_GETNEIGH;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = sequence;
    request.body.ndm_family = AF_INET;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd.get(), &request, request.header.nlmsg_len, 0,
                 reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0)
        return std::nullopt;

    std::optional<MacAddress> found;
    std::vector<std::uint8_t> buffer(32 * 1024);
    for (;;) {
        sockaddr_nl from{};
        socklen_t from_size = sizeof from;
        const ssize_t got = ::recvfrom(fd.get(), buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &from_size);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (from.nl_pid != 0) continue;  // only the kernel answers a dump
        switch (read_neighbours(buffer.data(), static_cast<std::size_t>(got), sequence, address,
                                &found)) {
            case NeighbourWalk::done:
                return found;
            case NeighbourWalk::failed:
                return std::nullopt;
            case NeighbourWalk::go_on:
                break;
        }
    }
}

// "aa:bb:cc:dd:ee:ff" as /proc/net/arp writes it.
std::optional<MacAddress> parse_mac(const std::string& text) {
    MacAddress mac{};
    unsigned parts[6];
    char end = 0;
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &parts[0], &parts[1], &parts[2],
                    &parts[3], &parts[4], &parts[5], &end) != 6)
        return std::nullopt;
    for (std::size_t i = 0; i < mac.size(); ++i) mac[i] = static_cast<std::uint8_t>(parts[i]);
    return mac;
}

// The older view of the same table: "IP address HW type Flags HW address Mask Device" lines;
// an entry counts once complete (ATF_COM) or permanent (ATF_PERM).
std::optional<MacAddress> proc_hardware_address(std::uint32_t address) {
    // /proc/net follows the process's first thread; the caller's thread may have joined another
    // network namespace.
    std::ifstream file("/proc/thread-self/net/arp");
    if (!file) file.open("/proc/net/arp");
    std::string line;
    std::getline(file, line);  // the column titles
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string ip, type, flags, mac;
        if (!(fields >> ip >> type >> flags >> mac)) continue;
        if (parse_dotted(ip) != address) continue;
        const unsigned long value = std::strtoul(flags.c_str(), nullptr, 16);
        if ((value & (ATF_COM | ATF_PERM)) == 0) continue;
        if (const auto parsed = parse_mac(mac)) return parsed;
    }
    return std::nullopt;
}

}  // namespace

std::optional<MacAddress> hardware_address_of(std::uint32_t address) {
    if (const auto answer = netlink_hardware_address(address)) return *answer;
    return proc_hardware_address(address);
}

std::string error_text(int error_number) {
    char buffer[256];
    // GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = ::strerror_r(error_number, buffer, sizeof buffer);
    return text ? text : "Unknown error";
}

int last_error() {
    return errno;
}

const int kErrorTimedOut = ETIMEDOUT;
const int kErrorConnectionRefused = ECONNREFUSED;
const int kErrorAddressInUse = EADDRINUSE;
const int kErrorWouldBlock = EAGAIN;

}  // namespace platform
