#include "telnet_shell.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <utility>

namespace sim {
namespace {

constexpr std::string_view kPrompt = "ZorvaController>";
constexpr std::size_t kReadChunk = 4096;

}  // namespace

// ---- ShellSession ---------------------------------------------------------------------------

ShellSession::ShellSession(const ShellOptions& options)
    : options_(options),
      state_(options.greet_on_line_end ? State::before_greeting : State::login) {}

std::string ShellSession::greeting() const {
    std::string text = "\r\nZorva Controller - command shell\r\n";
    // Padding lines make a greeting as long as asked, ahead of the login prompt.
    const std::string tail = "\r\nlogin: ";
    while (text.size() + tail.size() < options_.greeting_size) {
        const std::size_t room = options_.greeting_size - text.size() - tail.size();
        if (room <= 2) {
            text.append(room, '*');
            break;
        }
        text.append(std::min<std::size_t>(room - 2, 62), '*');
        text.append("\r\n");
    }
    return text + tail;
}

std::string ShellSession::start() {
    return state_ == State::before_greeting ? std::string() : greeting();
}

std::string ShellSession::feed(std::string_view bytes) {
    std::string answer;
    for (const char c : bytes) {
        if (finished_) break;
        if (state_ == State::confirm) {
            // The confirmation is one letter, taken at once without waiting for a line end.
            if (c == 'y') {
                confirmed_ = true;
                finished_ = true;
                answer += "y\r\nUpdating firmware, restarting...\r\n";
            } else if (c == 'n') {
                state_ = State::shell;
                answer += "n\r\n";
                answer += kPrompt;
            }
            continue;
        }
        const bool line_end = c == '\r' || c == '\n';
        // "\r\n" is one line end, a lone "\r" or "\n" is one as well.
        if (c == '\n' && after_cr_) {
            after_cr_ = false;
            continue;
        }
        after_cr_ = c == '\r';
        if (!line_end) {
            line_ += c;
            continue;
        }
        const std::string line = std::exchange(line_, {});
        answer += on_line(line);
    }
    return answer;
}

std::string ShellSession::on_line(const std::string& line) {
    switch (state_) {
        case State::before_greeting:
            state_ = State::login;
            return greeting();
        case State::login:
            user_ = line;
            state_ = State::password;
            return options_.no_password_prompt ? std::string() : std::string("password: ");
        case State::password:
            if (user_ == options_.login && line == options_.password) {
                state_ = State::shell;
                return "\r\nWelcome to the Zorva Controller\r\n" + std::string(kPrompt);
            }
            state_ = State::login;
            return "\r\nLogin incorrect\r\nlogin: ";
        case State::shell:
            if (line == "1scv") {
                const std::string mark = options_.no_rev ? "Firmware version " : "Firmware Rev ";
                return "\r\nZorva Controller " + mark + options_.version + "\r\n" +
                       std::string(kPrompt);
            }
            if (line == "update") {
                if (options_.no_yn)
                    return "\r\nUpdate refused: no boot server\r\n" + std::string(kPrompt);
                state_ = State::confirm;
                return "\r\nLoad new firmware and restart? (y/n) ";
            }
            if (line == "exit") {
                finished_ = true;
                return "\r\nBye\r\n";
            }
            if (line.empty()) return std::string(kPrompt);
            return "\r\nUnknown command: " + line + "\r\n" + std::string(kPrompt);
        case State::confirm:
            break;  // handled byte by byte in feed()
    }
    return {};
}

// ---- TelnetShell ----------------------------------------------------------------------------

std::unique_ptr<TelnetShell> TelnetShell::start(ShellOptions options, std::string* error) {
    platform::BindError bind_error = platform::BindError::none;
    int error_number = 0;
    auto listener =
        platform::TcpListener::listen(options.address, options.port, &bind_error, &error_number);
    if (!listener) {
        if (error) *error = platform::error_text(error_number);
        return nullptr;
    }
    return std::unique_ptr<TelnetShell>(new TelnetShell(std::move(options), std::move(*listener)));
}

TelnetShell::TelnetShell(ShellOptions options, platform::TcpListener listener)
    : options_(std::move(options)),
      listener_(std::move(listener)),
      port_(listener_.local_endpoint().port),
      thread_([this] { serve(); }) {}

TelnetShell::~TelnetShell() {
    stop_.request();
    thread_.join();
}

void TelnetShell::report(const std::string& text) const {
    if (options_.report) options_.report(text);
}

void TelnetShell::serve() {
    accept_until_stopped(listener_, stop_, [this](platform::TcpSocket& socket) {
        {
            std::lock_guard lock(mutex_);
            sessions_.emplace_back();
        }
        const platform::Endpoint peer = socket.peer_endpoint();
        report("telnet session from " + platform::to_dotted(peer.address) + ":" +
               std::to_string(peer.port));
        run_session(socket);
        socket.close();
        {
            std::lock_guard lock(mutex_);
            ++ended_;
        }
        changed_.notify_all();
        report("telnet session ended");
    });
}

bool TelnetShell::send_flood(const platform::TcpSocket& socket) {
    // Lines of '#', so that no text the client looks for appears in them.
    std::string chunk;
    while (chunk.size() < kReadChunk) chunk += std::string(78, '#') + "\r\n";
    for (std::uint64_t left = options_.flood_bytes; left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
        if (stop_.requested() || !send_answer(socket, std::string_view(chunk).substr(0, n)))
            return false;
        left -= n;
    }
    return true;
}

bool TelnetShell::answer(const platform::TcpSocket& socket, const std::string& text, int& answers) {
    if (options_.silent || text.empty()) return true;
    ++answers;
    std::string noise(options_.nul_bytes, '\0');
    if (options_.long_line > 0) noise += std::string(options_.long_line, '=') + "\r\n";
    const std::string whole = noise + text;
    if (answers == options_.close_in_answer) {
        (void)send_answer(socket, std::string_view(whole).substr(0, whole.size() / 2));
        return false;
    }
    return send_answer(socket, whole);
}

void TelnetShell::run_session(platform::TcpSocket& socket) {
    ShellSession session(options_);
    int answers = 0;
    if (options_.flood_bytes > 0 && !send_flood(socket)) return;
    if (!answer(socket, session.start(), answers)) return;
    std::array<std::uint8_t, kReadChunk> buffer{};
    while (!session.finished()) {
        const auto ready = socket.wait_readable(std::chrono::hours(1), &stop_.waker());
        if (ready == platform::WaitResult::woken || ready == platform::WaitResult::error) return;
        if (ready != platform::WaitResult::readable) continue;
        const int n = socket.receive(buffer);
        if (n <= 0) return;  // the peer closed
        const std::string_view bytes(reinterpret_cast<const char*>(buffer.data()),
                                     static_cast<std::size_t>(n));
        record(bytes);
        const std::string reply = session.feed(bytes);
        if (session.update_confirmed()) {
            {
                std::lock_guard lock(mutex_);
                ++confirmed_;
            }
            report("update confirmed; the controller restarts");
        }
        if (!answer(socket, reply, answers)) return;
    }
}

bool TelnetShell::send_answer(const platform::TcpSocket& socket, std::string_view text) {
    if (options_.drip.count() <= 0) return text.empty() || socket.send_all(text);
    for (const char c : text) {
        if (!socket.send_all(std::string_view(&c, 1))) return false;
        if (!stop_.sleep_for(options_.drip)) return false;
    }
    return true;
}

void TelnetShell::record(std::string_view bytes) {
    {
        std::lock_guard lock(mutex_);
        sessions_.back().append(bytes);
    }
    changed_.notify_all();
    if (!options_.record_file.empty()) {
        std::ofstream out(options_.record_file, std::ios::binary | std::ios::app);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
}

std::string TelnetShell::received() const {
    std::lock_guard lock(mutex_);
    std::string all;
    for (const auto& s : sessions_) all += s;
    return all;
}

std::vector<std::string> TelnetShell::sessions() const {
    std::lock_guard lock(mutex_);
    return sessions_;
}

std::size_t TelnetShell::sessions_ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

int TelnetShell::updates_confirmed() const {
    std::lock_guard lock(mutex_);
    return confirmed_;
}

bool TelnetShell::wait_sessions_ended(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return ended_ >= count; });
}

}  // namespace sim
