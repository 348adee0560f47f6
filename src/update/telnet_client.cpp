#include "update/telnet_client.h"

#include <algorithm>
#include <array>
#include <system_error>

#include "core/event_log.h"
#include "platform/net.h"

namespace update {
namespace {

// inet_addr's answer for a text that is not a dotted quad.
constexpr std::uint32_t kNotDotted = 0xffffffff;

}  // namespace

CTelnetClient::~CTelnetClient() {
    (void)Close();
}

void CTelnetClient::SetCredentials(std::string_view login_text, std::string_view password_text) {
    login.assign(login_text);
    password.assign(password_text);
}

void CTelnetClient::WatchFor(std::vector<WatchedText> texts) {
    watched = std::move(texts);
}

bool CTelnetClient::Connect(std::string host, std::uint16_t port,
                            std::chrono::milliseconds connect_timeout) {
    // A connection that was never closed would otherwise leave its receiver running while the
    // event and the buffer are replaced.
    (void)Close();
    connected = false;

    // Windows Sockets version 1.1, held by the connection until Close; every failure below
    // releases it.
    sockets_.emplace(1, 1);
    if (!sockets_->ok()) {
        sockets_.reset();
        core::log_printf("Error at WSAStartup");
        return connected;
    }
    struct ReleaseOnFailure {
        CTelnetClient& client;
        ~ReleaseOnFailure() {
            if (!client.connected) client.sockets_.reset();
        }
    } release_on_failure{*this};

    // The name buffer holds 255 characters and a NUL; a longer text cannot name a host.
    if (host.size() > kHostNameMax || !platform::resolve_host(host)) {
        core::log_printf("Error. Bad host lookup.\n");
        return connected;
    }
    // A dotted quad is taken as it is; only a name is looked up a second time for its address.
    std::uint32_t address = platform::inet_addr_value(host);
    if (address == kNotDotted) {
        const auto looked_up = platform::resolve_host(host);
        if (!looked_up) return connected;  // deliberately without a log line
        address = *looked_up;
    }

    int error = 0;
    auto connection = platform::TcpSocket::connect({address, port}, &error, connect_timeout);
    if (!connection) {
        // The failed socket is already closed: the optional never held it.
        core::log_printf("Error at socket(): %ld\n", static_cast<long>(error));
        return connected;
    }

    sock = std::move(connection);
    dataEvent = std::make_unique<platform::AutoResetEvent>();
    stopReceiver = std::make_unique<platform::Waker>();
    {
        std::lock_guard guard(lock);
        received = ExchangeBuffer(watched);
    }
    try {
        receiver = std::thread(&CTelnetClient::TelnetReceiveThread, this);
    } catch (const std::system_error&) {
        sock.reset();
        dataEvent.reset();
        stopReceiver.reset();
        core::log_printf("Internal Error\n");
        return connected;
    }
    connected = true;
    return connected;
}

int CTelnetClient::TelnetReceiveThread(CTelnetClient* client) {
    std::array<std::uint8_t, kReceiveChunkMax + 1> buffer{};
    for (;;) {
        const platform::WaitResult ready =
            client->sock->wait_readable(std::chrono::hours(24), client->stopReceiver.get());
        if (ready == platform::WaitResult::timeout) continue;
        if (ready != platform::WaitResult::readable) break;  // Close woke us, or the wait failed
        const int n = client->sock->receive(std::span(buffer).first(kReceiveChunkMax));
        if (n <= 0) break;  // peer closed, receive failed, or Close shut the socket down
        {
            std::lock_guard guard(client->lock);
            client->received.add(std::span(buffer).first(static_cast<std::size_t>(n)));
        }
        client->dataEvent->set();
    }
    return 0;
}

void CTelnetClient::AddReceived(std::uint8_t byte, bool clear) {
    std::lock_guard guard(lock);
    if (clear)
        received.clear();
    else
        received.add(byte);
}

bool CTelnetClient::SendCommand(std::string_view command, std::string& response, bool appendCR) {
    if (!command.empty() && sock) {
        // Two separate sends, as the controller has always seen them; results not examined.
        (void)sock->send(command);
        if (appendCR) (void)sock->send(std::string_view("\r"));
    }
    // Wait for one whole quiet second. The event is auto-reset and keeps a signal until a wait
    // consumes it, so a chunk that came before this exchange began counts as activity too. A
    // quiet second that would end past the limit does not count: the exchange is over time.
    bool in_time = true;
    if (dataEvent) {
        const auto deadline = std::chrono::steady_clock::now() + exchange_limit;
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            const auto wait = std::min(left, kQuietTime);
            if (wait.count() <= 0) {
                in_time = false;
                break;
            }
            if (!dataEvent->wait_for(wait)) {
                in_time = wait == kQuietTime;
                break;
            }
        }
    }
    std::lock_guard guard(lock);
    received.take(response);
    return in_time;
}

bool CTelnetClient::Close() {
    if (stopReceiver) stopReceiver->signal();
    // Without its wake-up line the receiver is ended the blunt way.
    if (sock && (!stopReceiver || !stopReceiver->valid())) sock->shutdown();
    if (receiver.joinable()) receiver.join();
    sock.reset();
    dataEvent.reset();
    stopReceiver.reset();
    sockets_.reset();
    return true;
}

std::size_t CTelnetClient::pending_bytes() const {
    std::lock_guard guard(lock);
    return received.held();
}

std::size_t CTelnetClient::pending_bytes_max() const {
    std::lock_guard guard(lock);
    return received.held_max();
}

}  // namespace update
