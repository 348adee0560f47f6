// The simulated controller's command shell: a TCP server that plays the controller's side of the
// firmware dialogue (greeting with "login:", "password:", the "ZorvaController>" prompt, "Rev "
// and the version for "1scv", a y/n question for "update", a restart after "y"), with switches
// for the ways a real controller has been seen to misbehave and for hostile ones (floods,
// silence, a close in the middle of an answer, NUL bytes and long lines). It records every byte
// it receives.
// Sessions are served one at a time, as the controller's shell does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "stop_signal.h"

namespace sim {

// Text reports for a console ("session from ...", "update confirmed"); may be empty.
using Reporter = std::function<void(const std::string&)>;

struct ShellOptions {
    std::uint32_t address = platform::kLoopbackAddress;
    std::uint16_t port = 23;  // 0 picks a free port
    std::string login = "admin";
    std::string password = "7305";
    std::string version = "3.2";      // written right behind "Rev "
    bool greet_on_line_end = false;   // no greeting until the peer sends a line end
    bool no_password_prompt = false;  // the login name is answered with nothing
    bool no_rev = false;              // the version answer lacks "Rev "
    bool no_yn = false;               // "update" is refused without a y/n question
    std::size_t greeting_size = 0;    // the greeting is padded to at least this many bytes
    std::chrono::milliseconds drip{
        0};  // when set, answers go out one byte at a time, this far apart
    // Hostile shells, for the client's bounds:
    std::uint64_t flood_bytes = 0;  // this much output (no prompt in it) ahead of the greeting
    bool silent = false;            // reads everything, answers nothing
    int close_in_answer = 0;        // the n-th answer (1 = greeting) is cut in half, then closed
    std::size_t nul_bytes = 0;      // NUL bytes ahead of every answer
    std::size_t long_line = 0;      // a line of this many bytes ahead of every answer
    std::filesystem::path record_file;  // every received byte is appended here (empty: none)
    Reporter report;
};

// The dialogue itself, without a socket: bytes in, answer text out.
class ShellSession {
public:
    explicit ShellSession(const ShellOptions& options);
    // The text sent right after the connection stands (empty when the greeting waits).
    std::string start();
    // Takes received bytes; returns the answer to send.
    std::string feed(std::string_view bytes);
    bool update_confirmed() const { return confirmed_; }
    // The session asks to be closed (after the confirmation, or "exit").
    bool finished() const { return finished_; }

private:
    enum class State { before_greeting, login, password, shell, confirm };
    std::string greeting() const;
    std::string on_line(const std::string& line);

    const ShellOptions& options_;
    State state_;
    std::string line_;
    std::string user_;
    bool after_cr_ = false;
    bool confirmed_ = false;
    bool finished_ = false;
};

class TelnetShell {
public:
    // Listens and starts serving; nullptr with *error set when the port cannot be had.
    static std::unique_ptr<TelnetShell> start(ShellOptions options, std::string* error = nullptr);
    ~TelnetShell();  // stops: wakes the accept or the session, ends it and joins the thread
    TelnetShell(const TelnetShell&) = delete;
    TelnetShell& operator=(const TelnetShell&) = delete;

    std::uint16_t port() const { return port_; }
    // Every byte received, over all sessions, in order; and per session.
    std::string received() const;
    std::vector<std::string> sessions() const;
    std::size_t sessions_ended() const;
    int updates_confirmed() const;
    // Waits until `count` sessions have ended (the peer closed, or the shell closed after "y").
    bool wait_sessions_ended(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    TelnetShell(ShellOptions options, platform::TcpListener listener);
    void serve();
    void run_session(platform::TcpSocket& socket);
    void record(std::string_view bytes);
    bool send_answer(const platform::TcpSocket& socket, std::string_view text);
    // The answers of a session with the hostile options applied; false ends the session.
    bool answer(const platform::TcpSocket& socket, const std::string& text, int& answers);
    bool send_flood(const platform::TcpSocket& socket);
    void report(const std::string& text) const;

    ShellOptions options_;
    platform::TcpListener listener_;
    std::uint16_t port_ = 0;
    StopSignal stop_;

    // Written by the serving thread; read by any thread.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> sessions_;
    std::size_t ended_ = 0;
    int confirmed_ = 0;

    std::jthread thread_;  // last member: starts after everything it uses exists
};

}  // namespace sim
