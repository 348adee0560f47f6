// kestrom check [--json] [--probe]: the pre-flight check with the stored settings, as text lines
// or one JSON document. Exit status 0 when no item failed (warnings allowed), 1 otherwise.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "app/commands.h"
#include "check/check.h"
#include "core/event_log.h"
#include "core/settings.h"
#include "driver/driver.h"

namespace app {
namespace {

constexpr const char* kCheckUsage = "usage: kestrom check [--json] [--probe] [--report FILE]\n";

// The items' texts hold names other programs chose (a port holder's process name, an
// interface's name), so their control bytes are made visible.
void print_text(const std::vector<check::CheckItem>& items) {
    std::vector<check::CheckItem> shown;
    std::size_t width = 0;
    for (const auto& i : items) {
        shown.push_back({core::escape_controls(i.item), i.status, core::escape_controls(i.detail),
                         core::escape_controls(i.fix)});
        width = std::max(width, shown.back().item.size());
    }
    for (const auto& i : shown) {
        std::printf("%-4s  %-*s  %s\n", check::status_text(i.status), static_cast<int>(width),
                    i.item.c_str(), i.detail.c_str());
        if (i.status != check::CheckStatus::ok && !i.fix.empty())
            std::printf("%-4s  %-*s  fix: %s\n", "", static_cast<int>(width), "", i.fix.c_str());
    }
}

// JSON leaves DEL and the C1 controls (U+0080..U+009F) raw; written as \u escapes they mean
// the same to a reader and nothing to a terminal. The text is valid UTF-8, so the byte pair
// C2 80..C2 9F is always such a code point, and both can only stand inside strings.
std::string with_controls_escaped(const std::string& json) {
    std::string out;
    out.reserve(json.size());
    for (std::size_t i = 0; i < json.size(); ++i) {
        const auto c = static_cast<unsigned char>(json[i]);
        const unsigned char next =
            i + 1 < json.size() ? static_cast<unsigned char>(json[i + 1]) : '\0';
        if (c == 0x7F) {
            out += "\\u007f";
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", unsigned{next});
            out += code;
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

int run_check(Args args) {
    check::CheckOptions options;
    bool json = false;
    for (std::size_t n = 0; n < args.size(); ++n) {
        const std::string_view a = args[n];
        if (a == "--report" && n + 1 < args.size()) {
            if (!start_report("check", args[++n])) return 1;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--probe") {
            options.probe = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kCheckUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "kestrom check: unknown option '%.*s'\n%s",
                         static_cast<int>(a.size()), a.data(), kCheckUsage);
            return kUsageError;
        }
    }

    // The stored settings into the record, as the services' start-up loads them.
    driver::TextFrontEnd front_end;
    driver::Driver(front_end).load_settings();
    const std::vector<check::CheckItem> items =
        check::run_and_report_checks(core::settings_snapshot(), options);

    if (json) {
        const nlohmann::ordered_json document = check::check_document(items);
        // Texts from files and settings may hold any byte: replace what is not UTF-8.
        std::puts(
            with_controls_escaped(
                document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace))
                .c_str());
    } else {
        print_text(items);
        std::printf("%s\n", check::check_summary(items).c_str());
    }
    return check::overall_status(items) == check::CheckStatus::fail ? 1 : 0;
}

}  // namespace app
