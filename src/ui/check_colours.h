// The colours of the check's statuses in its results list, the same in both windows.
#pragma once

#include <cstdint>
#include <optional>

#include "check/check.h"

namespace ui {

// A colour by its red, green and blue parts.
struct Rgb {
    std::uint8_t red, green, blue;
};

// The colour a status is written in: green for ok, amber for warn, red for fail. nullopt for a
// value outside the enumeration; each window then takes its own text colour.
constexpr std::optional<Rgb> status_colour(check::CheckStatus status) {
    switch (status) {
        case check::CheckStatus::ok:
            return Rgb{0x1b, 0x7a, 0x2e};
        case check::CheckStatus::warn:
            return Rgb{0xa8, 0x62, 0x00};
        case check::CheckStatus::fail:
            return Rgb{0xc0, 0x1c, 0x28};
    }
    return std::nullopt;
}

}  // namespace ui
