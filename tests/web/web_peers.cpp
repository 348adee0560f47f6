#include "web_peers.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "core/settings.h"

namespace test {

JobDir::JobDir() : previous_(std::filesystem::current_path()) {
    std::filesystem::create_directories(dir_.path() / "www");
    std::filesystem::current_path(dir_.path());
}

JobDir::~JobDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
}

void JobDir::list(std::string_view ini_text) const {
    dir_.write("kestrom.ini", ini_text);
}

void JobDir::page(std::string_view name, std::string_view content) const {
    dir_.write("www/" + std::string(name), content);
}

void JobDir::site(const std::vector<std::pair<std::string, std::string>>& pages) const {
    std::string ini = "[FILES]\r\n";
    for (std::size_t i = 0; i < pages.size(); ++i) {
        page(pages[i].first, pages[i].second);
        ini += "FILE" + std::to_string(i + 1) + "=" + pages[i].first + "\r\n";
    }
    list(ini);
}

void point_settings_at(std::string_view address, int port, std::string_view login,
                       std::string_view password) {
    core::settings_set_text(core::Setting::ZorvaIPAddress, address);
    core::settings_set_port(port);
    core::settings_set_text(core::Setting::ZorvaLogin, login);
    core::settings_set_text(core::Setting::ZorvaPassword, password);
}

void expect_pages_landed(const std::filesystem::path& root,
                         const std::vector<std::pair<std::string, std::string>>& pages) {
    for (const auto& [name, content] : pages) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(std::filesystem::is_regular_file(root / name));
        const std::string landed = read_file(root / name);
        EXPECT_EQ(content.size(), landed.size());
        EXPECT_TRUE(landed == content) << "content differs";
    }
}

std::vector<std::pair<std::string, std::string>> make_pages(int count, std::size_t total_bytes,
                                                            bool with_empty) {
    std::mt19937 random(7305);
    std::vector<std::pair<std::string, std::string>> pages;
    for (int i = 0; i < count; ++i) {
        // Sizes vary between a half and one and a half times the mean.
        const std::size_t mean = total_bytes / static_cast<std::size_t>(count);
        const std::size_t size = mean / 2 + random() % (mean + 1);
        std::string content(size, '\0');
        for (std::size_t b = 0; b < size; ++b) content[b] = static_cast<char>(random() & 0xff);
        char name[32];
        std::snprintf(name, sizeof name, "page%02d.bin", i);
        pages.emplace_back(name, std::move(content));
    }
    if (with_empty) pages.emplace_back("empty.htm", "");
    return pages;
}

}  // namespace test
