#include "update/exchange_buffer.h"

#include <gtest/gtest.h>

#include <string>

#include "update/dialogue.h"

namespace {

using namespace std::string_literals;

std::span<const std::uint8_t> bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The version text behind the first "Rev ", as the dialogue reads it; "-" when there is none.
std::string version_behind_rev(const std::string& answer) {
    const std::size_t mark = answer.find("Rev ");
    if (mark == std::string::npos) return "-";
    return std::string(update::version_text(answer, mark + 4));
}

// Whatever the bound and however the bytes come, the dialogue's checks read the kept answer as
// they would read the whole one.
TEST(ExchangeBuffer, KeepsWhatTheDialogueLooksForWhateverTheBoundAndTheChunks) {
    const std::string flood(1 << 20, '#');
    const std::string cases[] = {
        "\r\nZorva\0\0 shell\r\nlogin: "s,
        std::string(14, 'x') + "login:" + std::string(20, 'y'),  // across a bound of 16
        "Firmware Rev 3.19\r\nZorvaController>" + std::string(30, '=') + "Rev 4.0",
        std::string(40, '#') + "Rev 10.1",                              // runs to the end
        std::string(40, '#') + "Rev \x80 \0 3.5\r\nZorvaController>"s,  // bytes taken as blanks
        std::string(40, '#') + "Rev " + std::string(200, ' ') + "3.3x",
        "passwor d: y/ n login ZorvaController Rev" + std::string(40, '#'),  // none of them
        flood + "password:" + flood + "(y/n) ",
    };
    for (const std::size_t bound : {std::size_t{16}, update::kExchangeKeepMax}) {
        for (const std::string& whole : cases) {
            for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{999}}) {
                SCOPED_TRACE(testing::Message() << "bound " << bound << ", chunk " << chunk
                                                << ", answer " << whole.substr(0, 48));
                update::ExchangeBuffer buffer(update::dialogue_watched_texts(), bound);
                for (std::size_t at = 0; at < whole.size(); at += chunk) {
                    buffer.add(bytes(std::string_view(whole).substr(at, chunk)));
                    ASSERT_LE(buffer.held(), buffer.held_max());
                }
                std::string answer = "kept:";
                buffer.take(answer);
                ASSERT_TRUE(answer.starts_with("kept:"));  // appended to, not replaced
                answer.erase(0, 5);
                if (whole.size() <= bound) {
                    EXPECT_EQ(whole, answer);
                }
                for (const auto& w : update::dialogue_watched_texts())
                    EXPECT_EQ(whole.find(w.text) != std::string::npos,
                              answer.find(w.text) != std::string::npos)
                        << w.text;
                EXPECT_EQ(version_behind_rev(whole), version_behind_rev(answer));

                std::string next;
                buffer.take(next);
                EXPECT_EQ("", next);  // the next exchange starts empty
            }
        }
    }
}

TEST(ExchangeBuffer, ACutExchangeGivesItsTextsInTheOrderTheyFirstCame) {
    update::ExchangeBuffer buffer(update::dialogue_watched_texts(), 16);
    buffer.add(bytes(std::string(20, '#') + "(y/n) login: Rev 3.2\r\nZorvaController>y/n"));
    EXPECT_TRUE(buffer.cut());
    std::string answer;
    buffer.take(answer);
    EXPECT_EQ("y/n|login:|Rev 3.2\r\nZorvaController>y/n|ZorvaController>", answer);
}

}  // namespace
