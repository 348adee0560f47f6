#include "core/event_log.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
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

TEST(EscapeControls, WritesControlBytesAsHexAndKeepsEveryOtherByteAndValidUtf8) {
    using namespace std::string_literals;
    struct Case {
        const char* what;
        std::string text;
        bool keep_line_feeds;
        std::string shown;
    };
    const Case cases[] = {
        {"printable ASCII and tab", "Rev 1.0\tok ~", false, "Rev 1.0\tok ~"},
        {"C0 controls, NUL included", "a\x1b[2J\a\r\0\x1f b"s, false,
         "a\\x1B[2J\\x07\\x0D\\x00\\x1F b"},
        {"line feed by default", "a\nb", false, "a\\x0Ab"},
        {"line feed kept when asked", "a\nb\r\n", true, "a\nb\\x0D\n"},
        {"DEL", "x\x7f", false, "x\\x7F"},
        {"C1 as UTF-8, first and last", "\xc2\x80z\xc2\x9f", false, "\\xC2\\x80z\\xC2\\x9F"},
        {"CSI as UTF-8", "\xc2\x9bK", false, "\\xC2\\x9BK"},
        {"U+00A0 is no control", "\xc2\xa0", false, "\xc2\xa0"},
        {"lone C1 bytes", "\x80z\x9bK\x9f", false, "\\x80z\\x9BK\\x9F"},
        {"valid UTF-8 of 2, 3 and 4 bytes", "Rev 1.0 \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", false,
         "Rev 1.0 \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"a cut sequence: its lead kept, its C1 byte shown", "\xe2\x82", false, "\xe2\\x82"},
        {"an overlong form is no sequence", "\xc0\x9b", false, "\xc0\\x9B"},
        {"Latin-1 bytes outside C1", "caf\xe9 \xff", false, "caf\xe9 \xff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.shown, escape_controls(c.text, c.keep_line_feeds));
    }
}

// Only what came from outside changes: the tool's own line breaks, the lines a step leaves open
// and valid UTF-8 reach the stream as they are.
TEST(StdoutLogSink, WritesAPeersControlBytesAsHexAndTheToolsOwnTextAsItIs) {
    test::TempDir dir;
    const auto path = dir / "stdout";
    std::FILE* out = std::fopen(path.string().c_str(), "wb");
    ASSERT_NE(nullptr, out);
    auto sink = std::make_shared<StdoutLogSink>(out);
    set_log_sink(sink);
    log_printf("Client %s %s, error: %s\n", "127.0.0.1:1234", "zorva\x1b]0;x\a.bin",
               "loop\x1b[2J\xc2\x9bK\x9b");
    log_printf("\nVersion number should be 3.2 or higher!\nUpdate ");
    log_printf("FAILED!\n");
    log_printf("Rev 1.0 \xc3\xa9\t.\n");
    set_log_sink(nullptr);
    sink.reset();  // passes on the backlog
    std::fclose(out);
    EXPECT_EQ(
        "Client 127.0.0.1:1234 zorva\\x1B]0;x\\x07.bin, error: loop\\x1B[2J\\xC2\\x9BK\\x9B\n"
        "\nVersion number should be 3.2 or higher!\nUpdate FAILED!\n"
        "Rev 1.0 \xc3\xa9\t.\n",
        test::read_file(path));
}

#if !defined(_WIN32)  // a POSIX pipe as the stalled reader
// A reader that stops reading (a full pipe) must not hold up a writer; what the backlog cannot
// take is dropped and counted, and the count appears where the gap is once the reader is back.
TEST(StdoutLogSink, NeverHoldsUpAWriterAndReportsWhatAStalledReaderMissed) {
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    // The pipe starts full, whatever its size here, so the sink's first write already waits and
    // nothing it takes can leave the backlog room before the reader is back.
    const int flags = ::fcntl(fds[1], F_GETFL);
    ASSERT_EQ(0, ::fcntl(fds[1], F_SETFL, flags | O_NONBLOCK));
    std::size_t prefill = 0;
    for (char filler[4096]{}; ::write(fds[1], filler, sizeof filler) > 0;) prefill += sizeof filler;
    for (ssize_t n; (n = ::write(fds[1], "", 1)) > 0;) prefill += static_cast<std::size_t>(n);
    ASSERT_EQ(0, ::fcntl(fds[1], F_SETFL, flags));
    std::FILE* out = ::fdopen(fds[1], "w");
    ASSERT_NE(nullptr, out);
    auto sink = std::make_shared<StdoutLogSink>(out, 100'000);
    set_log_sink(sink);

    // Far more than the in-flight batch and the backlog hold together; nothing reads yet.
    const std::string text(1000, 'a');
    std::atomic<bool> done{false};
    std::jthread writer([&] {
        for (int i = 0; i < 1000; ++i) log_printf("%s", text.c_str());
        done = true;
    });
    ASSERT_TRUE(test::wait_until([&] { return done.load(); }, std::chrono::seconds(30)))
        << "a writer waited for the stalled reader: its 1000 texts took more than 30 s";

    std::string got;
    std::jthread reader([&] {
        char buffer[65536];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) got.append(buffer, n);
    });
    sink->flush();  // the reader is back: the backlog and the report go out
    log_printf("last\n");
    set_log_sink(nullptr);
    sink.reset();  // drains the backlog into the pipe
    std::fclose(out);
    reader.join();
    ASSERT_LE(prefill, got.size());
    ASSERT_EQ(std::string(prefill, '\0'), got.substr(0, prefill));
    got.erase(0, prefill);

    // Whole texts, each gap reported where it is, every byte either passed on or counted.
    const std::string marker = "\n[kestrom: ";
    const std::string marker_end = " bytes of log dropped: the output was not read in time]\n";
    std::size_t passed = 0, dropped = 0, gaps = 0, pos = 0;
    for (std::size_t at; (at = got.find(marker, pos)) != std::string::npos;) {
        EXPECT_EQ(0u, (at - pos) % text.size());
        passed += at - pos;
        std::size_t count = 0;
        ASSERT_EQ(1, std::sscanf(got.c_str() + at + marker.size(), "%zu", &count));
        dropped += count;
        ++gaps;
        pos = got.find(marker_end, at);
        ASSERT_NE(std::string::npos, pos);
        pos += marker_end.size();
    }
    passed += got.size() - pos - std::string_view("last\n").size();
    EXPECT_LE(1u, gaps);
    EXPECT_EQ(1000u * 1000u, passed + dropped);
    // Every gap was reported where it is (counted above); texts may follow the last report when
    // the writer thread took a batch late and the producer's last texts fit the backlog again.
    EXPECT_TRUE(got.ends_with("last\n")) << got.substr(pos);
}
#endif

}  // namespace
}  // namespace core
