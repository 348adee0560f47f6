// Pictures of the windows as the screen shows them: a plain RGB raster that both front-ends'
// tests fill from the display, a check that the picture shows the window's texts, and a PNG
// writer that needs no image library (the Windows build has none).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace test {

struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels;  // 0xRRGGBB, row by row from the top
    std::uint32_t at(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
};

// Where a control shows a text, in the picture's pixels (right and bottom exclusive), and the
// text it shows there.
struct TextPlace {
    std::string what;
    int left = 0, top = 0, right = 0, bottom = 0;
    std::string text;
};

// Fewer colours than this in a whole picture: nothing was drawn (one colour, or a white one
// with a dotted focus rectangle). Text drawn without smoothing on a plain menu brings only its
// own colour and the menu's.
inline constexpr std::size_t kFewestColours = 3;
// Pixels unlike a place's background that each character of its text must bring at least
// (the thinnest glyph of an 8-point dialog font has about a dozen), counted for the first
// kCountedCharacters characters only: longer texts may be cut off by their control.
inline constexpr int kInkPerCharacter = 4;
inline constexpr std::size_t kCountedCharacters = 12;

// Empty when the picture has colours enough and every place shows about as much ink as its
// text needs; otherwise one line per fault, saying which place lacks what.
std::string picture_faults(const Picture& picture, std::span<const TextPlace> places);

// Writes the picture as an 8-bit RGB PNG (stored deflate blocks: larger than a compressed one,
// but any viewer reads it); false when the file cannot be written.
bool write_png(const Picture& picture, const std::filesystem::path& path);

}  // namespace test
