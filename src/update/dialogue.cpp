#include "update/dialogue.h"

#include <charconv>
#include <cstdint>
#include <system_error>

#include "core/event_log.h"

namespace update {
namespace {

// The fixed texts of the dialogue, sent or searched for exactly (case-sensitive).
constexpr std::string_view kLoginPrompt = "login:";
constexpr std::string_view kPasswordPrompt = "password:";
constexpr std::string_view kShellPrompt = "ZorvaController>";
constexpr std::string_view kVersionCommand = "1scv";
constexpr std::string_view kVersionMark = "Rev ";
constexpr std::string_view kConfirmQuestion = "y/n";
constexpr std::string_view kConfirm = "y";

// Versions below this are refused. The parsed value gets kVersionBias added first, so that a
// controller reporting exactly 3.2 passes the strict comparison.
constexpr double kVersionThreshold = 3.2;
constexpr double kVersionBias = 1e-10;

constexpr std::chrono::milliseconds kBeforeUpdate{100};
constexpr std::chrono::milliseconds kAfterUpdateAnswer{500};
constexpr std::chrono::milliseconds kAfterConfirm{500};

bool contains(const std::string& text, std::string_view fragment) {
    return text.find(fragment) != std::string::npos;
}

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::vector<WatchedText> dialogue_watched_texts() {
    return {{kLoginPrompt},
            {kPasswordPrompt},
            {kShellPrompt},
            {kVersionMark, kVersionKeep},
            {kConfirmQuestion}};
}

std::string_view version_text(std::string_view answer, std::size_t rev_end) {
    if (rev_end > answer.size()) return {};
    const std::string_view rest = answer.substr(rev_end);
    std::size_t n = 0;
    while (n < rest.size() && (is_digit(rest[n]) ||
                               static_cast<std::int8_t>(rest[n]) <= static_cast<std::int8_t>('.')))
        ++n;
    return rest.substr(0, n);
}

double c_locale_decimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && is_c_space(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // The longest run of digits with at most one point; it must hold at least one digit.
    const std::size_t start = i;
    std::size_t digits = 0;
    while (i < text.size() && is_digit(text[i])) ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && is_digit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return 0.0;
    double value = 0.0;
    // from_chars is locale-independent and rounds correctly, as the C locale's strtod does.
    const auto result =
        std::from_chars(text.data() + start, text.data() + i, value, std::chars_format::fixed);
    if (result.ec != std::errc{}) return 0.0;
    return negative ? -value : value;
}

// An exchange that ran into its overall limit fails its step like an answer without the text.
bool Login(DialogueLink& link, std::string_view login, std::string_view password) {
    std::string response;
    core::log_printf(">> Connect...");
    // Nothing is sent: this exchange collects the greeting.
    if (!link.exchange("", response, true) || !contains(response, kLoginPrompt)) return false;

    core::log_printf("OK!\n");
    core::log_printf(">> Sent login...");
    response.clear();
    if (!link.exchange(login, response, true) || !contains(response, kPasswordPrompt)) return false;

    core::log_printf("OK!\n");
    response.clear();
    core::log_printf(">> Sent password...");
    if (!link.exchange(password, response, true) || !contains(response, kShellPrompt)) return false;

    core::log_printf("OK!\n");
    return true;
}

bool CheckVersion(DialogueLink& link, std::string* version_read) {
    double version = 0.0;
    std::string response;
    core::log_printf(">> Check version...");
    const bool in_time = link.exchange(kVersionCommand, response, true);

    const std::size_t mark = in_time ? response.find(kVersionMark) : std::string::npos;
    if (mark == std::string::npos) {
        core::log_printf("FAILED!\n");
    } else {
        const std::string text(version_text(response, mark + kVersionMark.size()));
        if (version_read) *version_read = text;
        response.clear();
        version = c_locale_decimal(text);
        core::log_printf("OK!\n");
        version += kVersionBias;
        core::log_printf("Version [%f]\n", version);
    }

    if (version - kVersionThreshold > 0) return true;
    core::log_printf("\nVersion number should be 3.2 or higher!\nUpdate ");
    return false;
}

bool SendUpdate(DialogueLink& link) {
    std::string response;
    link.pause(kBeforeUpdate);
    // Deliberately without a log line.
    if (!link.exchange(kUpdateCommand, response, true) || !contains(response, kConfirmQuestion))
        return false;

    link.pause(kAfterUpdateAnswer);
    response.clear();
    // The confirmation goes out without a line end. Its answer is not examined, and neither is
    // whether it came in time: the controller has its order and may well be restarting.
    (void)link.exchange(kConfirm, response, false);
    link.pause(kAfterConfirm);
    return true;
}

bool run_dialogue(DialogueLink& link, std::string_view login, std::string_view password) {
    return Login(link, login, password) && CheckVersion(link) && SendUpdate(link);
}

}  // namespace update
