// The receive side of one telnet exchange, held within a fixed bound whatever the controller
// sends. The bytes of an exchange are kept as they came while there are at most `keep_max` of
// them; that is every answer a working controller gives. Past the bound the buffer keeps only
// what the dialogue's checks look for: each watched text once, at its first occurrence, with the
// bytes that follow it when the text asks for them (the version behind "Rev "). The watched texts
// are looked for in every byte, so a text split across receives, or across the bound, is found.
//
// An exchange cut that way hands out the watched texts it saw, in the order they first came,
// joined by kPieceSeparator: every watched text the whole exchange held is in that answer, none
// that it lacked, and the bytes behind a text with `keep_after` read as they did behind its first
// occurrence (up to keep_after of them).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace update {

// An exchange of at most this many bytes is handed out whole.
inline constexpr std::size_t kExchangeKeepMax = 64 * 1024;
// Watched texts are at most this long.
inline constexpr std::size_t kWatchedTextMax = 32;
// Joins the kept texts of a cut exchange. It is in no watched text, and as a character above
// "." that is no digit it ends the version text of the dialogue.
inline constexpr char kPieceSeparator = '|';

struct WatchedText {
    std::string_view text;  // not empty, at most kWatchedTextMax bytes; must outlive the buffer
    std::size_t keep_after = 0;  // bytes kept behind its first occurrence once the exchange is cut
};

class ExchangeBuffer {
public:
    explicit ExchangeBuffer(std::vector<WatchedText> watched = {},
                            std::size_t keep_max = kExchangeKeepMax);

    // One received byte, in arrival order.
    void add(std::uint8_t byte);
    void add(std::span<const std::uint8_t> bytes);
    // Appends what the exchange kept to `response` and starts the next exchange empty.
    void take(std::string& response);
    // Forgets the exchange so far.
    void clear();

    // Bytes held now; never more than held_max().
    std::size_t held() const;
    std::size_t held_max() const;
    // The exchange so far was longer than keep_max.
    bool cut() const { return cut_; }

private:
    struct Watch {
        WatchedText what;
        bool seen = false;
        std::size_t order = 0;  // among the texts of this exchange, by first occurrence
        std::string piece;      // the text and the bytes kept behind it
    };

    std::vector<Watch> watches_;
    std::size_t keep_max_;
    std::size_t seen_count_ = 0;
    std::string kept_;  // the exchange as it came, while it is not cut
    bool cut_ = false;
    // The last bytes received, newest last, for matching texts across receives.
    std::array<char, kWatchedTextMax> recent_{};
    std::size_t recent_size_ = 0;
};

}  // namespace update
