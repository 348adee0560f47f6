// A whole decimal number given as text on a command line (a port, a count, seconds).
#pragma once

#include <charconv>
#include <string_view>
#include <system_error>

namespace core {

// True with *out set when the whole text is one decimal number from low to high; no sign but
// '-', no blanks, nothing after it.
inline bool parse_whole_number(std::string_view text, long long low, long long high,
                               long long* out) {
    long long n = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), n);
    if (r.ec != std::errc{} || r.ptr != text.data() + text.size() || n < low || n > high)
        return false;
    *out = n;
    return true;
}

}  // namespace core
