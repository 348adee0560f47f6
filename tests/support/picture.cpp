#include "picture.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unordered_map>
#include <unordered_set>

namespace test {
namespace {

// How far two colours lie apart: the sum of their channels' differences (0 to 765).
int distance(std::uint32_t a, std::uint32_t b) {
    int sum = 0;
    for (int shift = 0; shift <= 16; shift += 8)
        sum +=
            std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF));
    return sum;
}

// Text drawn on a background differs from it by more than this; shades of the background
// (a gradient, a bevel's light edge) differ by less.
constexpr int kInkDistance = 96;

// The pixels of a place that are ink: unlike its most common colour, its background.
int ink_in(const Picture& picture, const TextPlace& place) {
    const int left = std::max(place.left, 0), top = std::max(place.top, 0);
    const int right = std::min(place.right, picture.width);
    const int bottom = std::min(place.bottom, picture.height);
    std::unordered_map<std::uint32_t, int> counts;
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x) ++counts[picture.at(x, y)];
    if (counts.empty()) return 0;
    const std::uint32_t background =
        std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
            return a.second < b.second;
        })->first;
    int ink = 0;
    for (const auto& [colour, count] : counts)
        if (distance(colour, background) > kInkDistance) ink += count;
    return ink;
}

std::size_t counted_characters(const std::string& text) {
    const auto shown = static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return c != ' ' && c != '\t'; }));
    return std::min(shown, kCountedCharacters);
}

// ---- PNG ----

std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void put_be32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// One chunk: length, type, data and the CRC of type and data.
void put_chunk(std::vector<std::uint8_t>& out, const char (&type)[5],
               const std::vector<std::uint8_t>& data) {
    put_be32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put_be32(out, crc32(0, out.data() + start, out.size() - start));
}

// A zlib stream of stored (uncompressed) deflate blocks.
std::vector<std::uint8_t> zlib_stored(const std::vector<std::uint8_t>& raw) {
    std::vector<std::uint8_t> out{0x78, 0x01};
    constexpr std::size_t kBlock = 65535;
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(kBlock, raw.size() - at);
        const bool last = at + n == raw.size();
        out.push_back(last ? 1 : 0);
        out.push_back(static_cast<std::uint8_t>(n & 0xFF));
        out.push_back(static_cast<std::uint8_t>(n >> 8));
        out.push_back(static_cast<std::uint8_t>(~n & 0xFF));
        out.push_back(static_cast<std::uint8_t>((~n >> 8) & 0xFF));
        out.insert(out.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                   raw.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    } while (at < raw.size());
    std::uint32_t a = 1, b = 0;  // Adler-32
    for (const std::uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    put_be32(out, b << 16 | a);
    return out;
}

}  // namespace

std::string picture_faults(const Picture& picture, std::span<const TextPlace> places) {
    std::string faults;
    std::unordered_set<std::uint32_t> colours(picture.pixels.begin(), picture.pixels.end());
    if (colours.size() < kFewestColours)
        faults += "the picture has " + std::to_string(colours.size()) + " colours (fewer than " +
                  std::to_string(kFewestColours) + "): nothing was drawn\n";
    for (const TextPlace& place : places) {
        const int needed = kInkPerCharacter * static_cast<int>(counted_characters(place.text));
        const int ink = ink_in(picture, place);
        if (ink < needed)
            faults += place.what + " at (" + std::to_string(place.left) + "," +
                      std::to_string(place.top) + ")-(" + std::to_string(place.right) + "," +
                      std::to_string(place.bottom) + "): " + std::to_string(ink) +
                      " pixels of ink where \"" + place.text + "\" needs " +
                      std::to_string(needed) + "\n";
    }
    return faults;
}

bool write_png(const Picture& picture, const std::filesystem::path& path) {
    if (picture.width <= 0 || picture.height <= 0) return false;
    std::vector<std::uint8_t> header;
    put_be32(header, static_cast<std::uint32_t>(picture.width));
    put_be32(header, static_cast<std::uint32_t>(picture.height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, no filter, no interlace
    std::vector<std::uint8_t> raw;
    raw.reserve(static_cast<std::size_t>(picture.height) *
                (1 + 3 * static_cast<std::size_t>(picture.width)));
    for (int y = 0; y < picture.height; ++y) {
        raw.push_back(0);  // each row unfiltered
        for (int x = 0; x < picture.width; ++x) {
            const std::uint32_t p = picture.at(x, y);
            raw.insert(raw.end(),
                       {static_cast<std::uint8_t>(p >> 16), static_cast<std::uint8_t>(p >> 8),
                        static_cast<std::uint8_t>(p)});
        }
    }
    std::vector<std::uint8_t> file{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    put_chunk(file, "IHDR", header);
    put_chunk(file, "IDAT", zlib_stored(raw));
    put_chunk(file, "IEND", {});

    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    struct Closer {
        void operator()(std::FILE* f) const { (void)std::fclose(f); }
    };
    const std::unique_ptr<std::FILE, Closer> out(std::fopen(path.string().c_str(), "wb"));
    return out && std::fwrite(file.data(), 1, file.size(), out.get()) == file.size() &&
           std::fflush(out.get()) == 0;
}

}  // namespace test
