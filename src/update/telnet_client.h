// CTelnetClient: the small text client for the controller's command shell. One TCP connection,
// no telnet option negotiation and no line discipline: commands go out as plain bytes and every
// byte that comes back is gathered, as it comes, into one buffer by a receiver thread. The one
// exchange primitive, SendCommand, sends a command and then waits until the controller has been
// silent for one whole second, or at most the exchange limit; it hands back everything that
// arrived since the last exchange. The buffer is bounded (update/exchange_buffer.h): an exchange
// longer than kExchangeKeepMax bytes hands back only the watched texts it held.
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

#include "platform/auto_reset_event.h"
#include "platform/socket.h"
#include "update/exchange_buffer.h"

namespace update {

// The quiet time that ends an exchange.
inline constexpr std::chrono::milliseconds kQuietTime{1000};
// The longest an exchange may last. A controller that keeps sending, even a byte every half
// second, never gives the quiet second; past this the exchange fails and so does its step. A
// working controller answers within a second or two.
inline constexpr std::chrono::milliseconds kExchangeLimit = std::chrono::seconds(60);
// How long Connect waits for the controller to answer. An address that drops the packets would
// otherwise hold the job for the system's TCP time-out (about two minutes); a controller on the
// local segment answers within milliseconds.
inline constexpr std::chrono::milliseconds kConnectTimeout = std::chrono::seconds(10);
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
    // The texts the caller will look for in the responses; an exchange too long to keep whole
    // keeps these (see ExchangeBuffer). Takes effect at the next Connect.
    void WatchFor(std::vector<WatchedText> texts);
    // The overall limit of each exchange (kExchangeLimit unless set); for tests.
    void SetExchangeLimit(std::chrono::milliseconds limit) { exchange_limit = limit; }

    // Looks the host up (a dotted quad or a name), connects to it on `port` and starts the
    // receiver. Each failure writes its one line to the event log:
    //   "Error at WSAStartup"        the sockets layer could not be started (Windows; no line end)
    //   "Error. Bad host lookup.\n"  the host text is empty, longer than 255 characters or
    //                                does not resolve
    //   "Error at socket(): %ld\n"   the socket could not be made or the connect failed (errno;
    //                                ETIMEDOUT when nothing answered within `connect_timeout`)
    //   "Internal Error\n"           the receiver thread could not be started
    // The result is also stored in `connected`. A connection still open from an earlier Connect
    // is closed first.
    bool Connect(std::string host, std::uint16_t port,
                 std::chrono::milliseconds connect_timeout = kConnectTimeout);

    // Sends `command` (nothing at all when it is empty), then a lone "\r" when appendCR is set,
    // waits until no byte has arrived for one whole second and appends what was received since
    // the previous exchange to `response`. Send results are not examined. True, or false when
    // the exchange limit passed before a quiet second came (the response is appended all the
    // same).
    bool SendCommand(std::string_view command, std::string& response, bool appendCR);

    // Adds one byte to the receive buffer, or empties it when `clear` is set.
    void AddReceived(std::uint8_t byte, bool clear);

    // Ends the connection: the receiver thread is woken and waited for, then the socket, the
    // event and the buffer lock are released. Closing with unread bytes (a controller that still
    // sends) resets the connection, as closesocket does, so the peer's sends fail at once.
    // `connected` is left as it is. Always true; harmless when not connected.
    bool Close();

    // The receiver thread's body: adds each chunk to the buffer under one hold of the lock, then
    // signals the data event once per chunk; ends when the peer closes, a receive fails or Close
    // shuts the socket.
    static int TelnetReceiveThread(CTelnetClient* client);

    const std::string& login_text() const { return login; }
    const std::string& password_text() const { return password; }
    // Bytes held for the next response, and the most they can be (diagnostics for tests).
    std::size_t pending_bytes() const;
    std::size_t pending_bytes_max() const;

    // Written by Connect (in the job thread, or before it starts); read by the job thread.
    bool connected = false;

private:
    // Created by Connect, released by Close. Set by the receiver thread, waited for by the
    // thread that calls SendCommand.
    std::unique_ptr<platform::AutoResetEvent> dataEvent;
    std::string password;
    std::string login;
    std::vector<WatchedText> watched;
    std::chrono::milliseconds exchange_limit = kExchangeLimit;
    // Written by the receiver thread (AddReceived), emptied by SendCommand, replaced by Connect;
    // guarded by `lock`.
    ExchangeBuffer received;
    mutable std::mutex lock;
    // The Windows Sockets reference of a connection: taken by Connect, released by Close (and by
    // every failed Connect).
    std::optional<platform::SocketsReference> sockets_;
    // The connected socket. Set by Connect before the receiver starts and reset by Close only
    // after the receiver has ended, so the receiver may use it without a lock.
    std::optional<platform::TcpSocket> sock;
    // Made by Connect, signalled by Close to end the receiver's wait.
    std::unique_ptr<platform::Waker> stopReceiver;
    std::thread receiver;
};

}  // namespace update
