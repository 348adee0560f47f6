#include "core/event_log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace core {
namespace {

TEST(EventLog, AddsNothingToTheCallersText) {
    test::CapturedLog log;
    log_printf(">> Connect...");
    log_printf("OK!\n");
    log_printf("%s", "");
    log_printf("a\r\nb");
    log_fprintf(stderr, "Assigning Dynamic IP! \n");
    log_printf("%d%%|%5.2f|%-3s|", 7, 3.14159, "x");
    EXPECT_EQ(">> Connect...OK!\na\r\nbAssigning Dynamic IP! \n7%| 3.14|x  |", log.text());
}

TEST(EventLog, CutsAVeryLongTextAt4998Characters) {
    test::CapturedLog log;
    const std::string huge(6000, 'z');
    log_printf("%s", huge.c_str());
    EXPECT_EQ(std::string(4998, 'z'), log.text());
    log.clear();
    const std::string exact(4998, 'y');
    log_printf("%s", exact.c_str());
    EXPECT_EQ(exact, log.text());
}

TEST(EventLog, DropsTextWrittenBeforeASinkIsSet) {
    set_log_sink(nullptr);
    log_printf("lost\n");
    test::CapturedLog log;
    log_printf("kept\n");
    EXPECT_EQ("kept\n", log.text());
}

TEST(EventLog, KeepsEveryTextWholeAndEachThreadsOrder) {
    test::CapturedLog log;
    constexpr int kThreads = 4, kTexts = 2000;
    {
        std::vector<std::jthread> writers;
        for (int t = 0; t < kThreads; ++t)
            writers.emplace_back([t] {
                for (int i = 0; i < kTexts; ++i) log_printf("<%d:%d>", t, i);
            });
    }
    const std::string text = log.text();
    std::vector<int> next(kThreads, 0);
    std::size_t pos = 0;
    int count = 0;
    while (pos < text.size()) {
        ASSERT_EQ('<', text[pos]);
        const auto end = text.find('>', pos);
        ASSERT_NE(std::string::npos, end);
        const auto colon = text.find(':', pos);
        const int t = std::stoi(text.substr(pos + 1, colon - pos - 1));
        const int i = std::stoi(text.substr(colon + 1, end - colon - 1));
        ASSERT_EQ(next[t], i) << "thread " << t << " out of order";
        ++next[t];
        ++count;
        pos = end + 1;
    }
    EXPECT_EQ(kThreads * kTexts, count);
}

}  // namespace
}  // namespace core
