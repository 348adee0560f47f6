// The system headers in the order Windows needs them (winsock2.h before windows.h,
// windows.h before the headers that build on it).
// clang-format off
#include "platform/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/win32/win32_support.h"
// clang-format on

namespace platform {
namespace detail {

bool winsock_ready(int* error) {
    // Function-local, so the first socket call of any thread starts Winsock, and the cleanup
    // runs with the other static destructors at exit.
    static const struct Guard {
        int code;
        Guard() {
            WSADATA data;
            code = ::WSAStartup(MAKEWORD(2, 2), &data);
        }
        ~Guard() {
            if (code == 0) ::WSACleanup();
        }
    } guard;
    if (guard.code != 0 && error) *error = guard.code;
    return guard.code == 0;
}

int errno_from_win32(unsigned long code) {
    switch (code) {
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE:
            return EINVAL;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        default:
            return EIO;
    }
}

namespace {

std::string narrow(const wchar_t* text) {
    if (text == nullptr || *text == 0) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(size - 1));
    return out;
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using AdapterList = std::unique_ptr<IP_ADAPTER_ADDRESSES, FreeDeleter>;

// The IPv4 adapters in the order the system lists them into *list (nullptr when there is none);
// false with the Win32 code in *code.
bool ipv4_adapters(AdapterList* list, unsigned long* code) {
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16 * 1024;
    // The list may grow between the sizing call and the next one: a few rounds.
    for (int attempt = 0; attempt < 4; ++attempt) {
        AdapterList buffer(static_cast<IP_ADAPTER_ADDRESSES*>(std::malloc(size)));
        if (!buffer) {
            *code = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        const ULONG rc = ::GetAdaptersAddresses(AF_INET, flags, nullptr, buffer.get(), &size);
        if (rc == NO_ERROR) {
            *list = std::move(buffer);
            return true;
        }
        if (rc == ERROR_NO_DATA) {
            list->reset();
            return true;
        }
        if (rc != ERROR_BUFFER_OVERFLOW) {
            *code = rc;
            return false;
        }
    }
    *code = ERROR_BUFFER_OVERFLOW;
    return false;
}

}  // namespace

std::optional<std::uint32_t> interface_index(std::string_view name) {
    unsigned long code = 0;
    AdapterList list;
    if (!ipv4_adapters(&list, &code)) return std::nullopt;
    for (const IP_ADAPTER_ADDRESSES* a = list.get(); a != nullptr; a = a->Next)
        if (a->FriendlyName != nullptr && narrow(a->FriendlyName) == name) return a->IfIndex;
    return std::nullopt;
}

}  // namespace detail

std::uint32_t inet_addr_value(std::string_view text) {
    const std::string copy(text);  // inet_addr needs a terminated text
    return ntohl(::inet_addr(copy.c_str()));
}

std::optional<std::uint32_t> resolve_host(std::string_view name, std::string* error) {
    if (name.empty()) {
        if (error) *error = "empty host name";
        return std::nullopt;
    }
    int code = 0;
    if (!detail::winsock_ready(&code)) {
        if (error) *error = error_text(code);
        return std::nullopt;
    }
    const std::string host(name);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    // getaddrinfo returns a Winsock code itself (WSAHOST_NOT_FOUND...).
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        if (error) *error = error_text(rc != 0 ? rc : WSAHOST_NOT_FOUND);
        if (found) ::freeaddrinfo(found);
        return std::nullopt;
    }
    sockaddr_in in{};
    std::memcpy(&in, found->ai_addr, sizeof in);
    ::freeaddrinfo(found);
    return ntohl(in.sin_addr.s_addr);
}

std::optional<std::vector<Ipv4Interface>> local_ipv4_interfaces(int* error) {
    unsigned long code = 0;
    detail::AdapterList list;
    if (!detail::ipv4_adapters(&list, &code)) {
        if (error) *error = detail::errno_from_win32(code);
        return std::nullopt;
    }
    std::vector<Ipv4Interface> result;
    for (const IP_ADAPTER_ADDRESSES* a = list.get(); a != nullptr; a = a->Next) {
        const std::string name = detail::narrow(a->FriendlyName);
        for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr;
             u = u->Next) {
            const SOCKADDR* sa = u->Address.lpSockaddr;
            if (sa == nullptr || sa->sa_family != AF_INET ||
                u->Address.iSockaddrLength < static_cast<INT>(sizeof(sockaddr_in)))
                continue;
            sockaddr_in in{};
            std::memcpy(&in, sa, sizeof in);
            Ipv4Interface entry;
            entry.name = name;
            entry.index = a->IfIndex;
            // Wine reports the link's administrative state here: without carrier it is still up.
            entry.up = a->OperStatus == IfOperStatusUp;
            entry.address = ntohl(in.sin_addr.s_addr);
            const unsigned prefix = u->OnLinkPrefixLength > 32 ? 32 : u->OnLinkPrefixLength;
            entry.netmask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
            result.push_back(std::move(entry));
        }
    }
    return result;
}

namespace {

struct MibTableDeleter {
    void operator()(void* table) const { ::FreeMibTable(table); }
};

}  // namespace

std::optional<MacAddress> hardware_address_of(std::uint32_t address) {
    MIB_IPNET_TABLE2* raw = nullptr;
    if (::GetIpNetTable2(AF_INET, &raw) != NO_ERROR || raw == nullptr) return std::nullopt;
    const std::unique_ptr<MIB_IPNET_TABLE2, MibTableDeleter> table(raw);
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPNET_ROW2& row = table->Table[i];
        if (row.Address.si_family != AF_INET || ntohl(row.Address.Ipv4.sin_addr.s_addr) != address)
            continue;
        // The states whose hardware address is known: what INCOMPLETE and UNREACHABLE lack.
        switch (row.State) {
            case NlnsReachable:
            case NlnsStale:
            case NlnsDelay:
            case NlnsProbe:
            case NlnsPermanent:
                break;
            default:
                continue;
        }
        if (row.PhysicalAddressLength != 6) continue;
        MacAddress mac{};
        std::memcpy(mac.data(), row.PhysicalAddress, mac.size());
        return mac;
    }
    return std::nullopt;
}

namespace {

// Words of our own for the Winsock codes a socket call of kestrom may meet, for a system that
// has none (Wine has no text for many of them).
struct WinsockWords {
    int code;
    const char* words;
};
constexpr WinsockWords kWinsockWords[] = {
    {WSAEINTR, "interrupted call"},
    {WSAEBADF, "bad socket handle"},
    {WSAEACCES, "permission denied"},
    {WSAEFAULT, "bad address"},
    {WSAEINVAL, "invalid argument"},
    {WSAEMFILE, "too many open sockets"},
    {WSAEWOULDBLOCK, "operation would block"},
    {WSAEINPROGRESS, "operation now in progress"},
    {WSAEALREADY, "operation already in progress"},
    {WSAENOTSOCK, "not a socket"},
    {WSAEDESTADDRREQ, "destination address required"},
    {WSAEMSGSIZE, "message too long"},
    {WSAEPROTOTYPE, "wrong protocol type for socket"},
    {WSAENOPROTOOPT, "bad protocol option"},
    {WSAEPROTONOSUPPORT, "protocol not supported"},
    {WSAESOCKTNOSUPPORT, "socket type not supported"},
    {WSAEOPNOTSUPP, "operation not supported"},
    {WSAEPFNOSUPPORT, "protocol family not supported"},
    {WSAEAFNOSUPPORT, "address family not supported"},
    {WSAEADDRINUSE, "address already in use"},
    {WSAEADDRNOTAVAIL, "address not available"},
    {WSAENETDOWN, "network is down"},
    {WSAENETUNREACH, "network unreachable"},
    {WSAENETRESET, "connection dropped on network reset"},
    {WSAECONNABORTED, "connection aborted"},
    {WSAECONNRESET, "connection reset by peer"},
    {WSAENOBUFS, "no buffer space available"},
    {WSAEISCONN, "socket already connected"},
    {WSAENOTCONN, "socket not connected"},
    {WSAESHUTDOWN, "socket shut down"},
    {WSAETIMEDOUT, "connection timed out"},
    {WSAECONNREFUSED, "connection refused"},
    {WSAEHOSTDOWN, "host is down"},
    {WSAEHOSTUNREACH, "no route to host"},
    {WSASYSNOTREADY, "network subsystem unavailable"},
    {WSAVERNOTSUPPORTED, "Winsock version not supported"},
    {WSANOTINITIALISED, "Winsock not started"},
    {WSAHOST_NOT_FOUND, "host not found"},
    {WSATRY_AGAIN, "host not found, try again"},
    {WSANO_RECOVERY, "name server failure"},
    {WSANO_DATA, "no address for the name"},
};

}  // namespace

std::string error_text(int error_number) {
    // Two domains: Winsock codes (from 10000 up, WSAGetLastError) and the C library's errno.
    if (error_number >= WSABASEERR) {
        char buffer[256];
        DWORD n =
            ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(error_number), 0, buffer, sizeof buffer, nullptr);
        while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' '))
            --n;
        if (n > 0 && buffer[n - 1] == '.') --n;
        if (n > 0) return std::string(buffer, n);
        // No system text (Wine has none for several codes): the number and our words for it.
        for (const WinsockWords& w : kWinsockWords)
            if (w.code == error_number) return std::to_string(error_number) + " " + w.words;
        return "Winsock error " + std::to_string(error_number);
    }
    // msvcrt keeps strerror's buffer per thread.
    const char* text = std::strerror(error_number);
    return text ? text : "Unknown error";
}

int last_error() {
    return errno;
}

const int kErrorTimedOut = WSAETIMEDOUT;
const int kErrorConnectionRefused = WSAECONNREFUSED;
const int kErrorAddressInUse = WSAEADDRINUSE;
const int kErrorWouldBlock = WSAEWOULDBLOCK;

}  // namespace platform
