// CTelnetClient: the small text client for the controller's command shell. One TCP connection,
// no telnet option negotiation and no line discipline: commands go out as plain bytes and every
// byte that comes back is gathered, as it comes, into one buffer by a receiver thread. The one
// exchange primitive, SendCommand, sends a command and then waits until the controller has been
// silent for one whole second; it hands back everything that arrived since the last exchange.
//
// Calling order: SetCredentials, Connect; when it returned true any number of SendCommand calls
// from one thread, then Close. The sequence may be repeated on the same object. Only one job may
// use an object at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "update/auto_reset_event.h"

namespace update {

// The quiet time that ends an exchange.
inline constexpr std::chrono::milliseconds kQuietTime{1000};
// The largest single receive of the receiver thread (its buffer is one byte longer).
inline constexpr std::size_t kReceiveChunkMax = 999;
// Host texts longer than this are refused with the bad-lookup line.
inline constexpr std::size_t kHostNameMax = 255;

class CTelnetClient {
public:
    CTelnetClient() = default;
    // Frees the texts and the buffer. An object destroyed while still connected (no Close)
    // first ends its connection and its receiver thread, since a running thread must not
    // outlive the object it reads from.
    ~CTelnetClient();
    CTelnetClient(const CTelnetClient&) = delete;
    CTelnetClient& operator=(const CTelnetClient&) = delete;

    void SetCredentials(std::string_view login_text, std::string_view password_text);

    // Looks the host up (a dotted quad or a name), connects to it on `port` and starts the
    // receiver. Each failure writes its one line to the event log:
    //   "Error. Bad host lookup.\n"  the host text is empty, longer than 255 characters or
    //                                does not resolve
    //   "Error at socket(): %ld\n"   the socket could not be made or the connect failed (errno)
    //   "Internal Error\n"           the receiver thread could not be started
    // The result is also stored in `connected`. A connection still open from an earlier Connect
    // is closed first.
    bool Connect(std::string host, std::uint16_t port);

    // Sends `command` (nothing at all when it is empty), then a lone "\r" when appendCR is set,
    // waits until no byte has arrived for one whole second and appends every byte received
    // since the previous exchange to `response`. Send results are not examined. Always true.
    bool SendCommand(std::string_view command, std::string& response, bool appendCR);

    // Appends one byte to the receive buffer, or empties it when `clear` is set.
    void AddReceived(std::uint8_t byte, bool clear);

    // Ends the connection: the socket is shut down, the receiver thread is waited for, then the
    // socket, the event and the buffer lock are released. `connected` is left as it is.
    // Always true; harmless when not connected.
    bool Close();

    // The receiver thread's body: gathers each chunk byte by byte, then signals the data event
    // once per chunk; ends when the peer closes, a receive fails or Close shuts the socket.
    static int TelnetReceiveThread(CTelnetClient* client);

    const std::string& login_text() const { return login; }
    const std::string& password_text() const { return password; }
    // Bytes received and not yet handed out (a diagnostic for tests).
    std::size_t pending_bytes() const;

    // Written by Connect (in the connecting thread, before the job thread starts); read by the
    // job thread.
    bool connected = false;

private:
    // Created by Connect, released by Close. Set by the receiver thread, waited for by the
    // thread that calls SendCommand.
    std::unique_ptr<AutoResetEvent> dataEvent;
    std::string password;
    std::string login;
    // Written by the receiver thread (AddReceived), emptied by SendCommand; guarded by `lock`.
    std::vector<std::uint8_t> received;
    mutable std::mutex lock;
    // The connected socket. Set by Connect before the receiver starts and reset by Close only
    // after the receiver has ended, so the receiver may use it without a lock.
    std::optional<platform::TcpSocket> sock;
    std::thread receiver;
};

}  // namespace update
