#include "platform/net.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

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
