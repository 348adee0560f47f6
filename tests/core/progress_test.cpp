// The progress board and meter (what the window's strip and the command line's progress line
// show), and the load report's file.
#include "core/progress.h"

#include <gtest/gtest.h>

#include <cctype>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/load_report.h"
#include "test_support.h"

namespace core {
namespace {

using namespace std::chrono_literals;

ActivitySnapshot activity(ActivityKind kind, std::uint64_t done, std::uint64_t total,
                          std::string step = {}) {
    ActivitySnapshot a;
    a.kind = kind;
    a.label = "192.168.1.50 zorva.bin";
    a.done = done;
    a.total = total;
    a.step = std::move(step);
    return a;
}

TEST(ProgressText, SaysWhatRunsAndHowFar) {
    struct Case {
        ActivitySnapshot a;
        double rate;
        const char* text;
    };
    const Case cases[] = {
        {activity(ActivityKind::tftp_read, 420, 1000, {}), 100,
         "192.168.1.50 zorva.bin 42 % 100 B/s 0:06 left"},
        {activity(ActivityKind::tftp_read, 5'000'000, 8'600'000), 1.2e6,
         "192.168.1.50 zorva.bin 58 % 1.2 MB/s 0:03 left"},
        {activity(ActivityKind::tftp_read, 3 * 1024 * 1024, 0), -1,
         "192.168.1.50 zorva.bin 3072 KiB"},
        {activity(ActivityKind::tftp_write, 10, 5), 1e3, "192.168.1.50 zorva.bin 100 % 1 kB/s"},
        {activity(ActivityKind::tftp_read, 0, 7200 * 1000), 1e3,
         "192.168.1.50 zorva.bin 0 % 1 kB/s 2:00:00 left"},
        {activity(ActivityKind::firmware, 2, 4, "version check (3.20)"), -1,
         "Firmware update: version check (3.20)"},
        {activity(ActivityKind::firmware, 0, 4), -1, "Firmware update: connect"},
        {activity(ActivityKind::web, 7, 31), -1, "Web pages: 7 of 31"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, describe_running(c.a, c.rate));
}

TEST(ProgressMeter, FollowsTheNewestActivityAndShowsTheLastOutcomeWhenIdle) {
    ProgressBoard board;
    ProgressMeter meter(board);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(meter.poll(t0).active);
    EXPECT_EQ("", meter.poll(t0).text);

    auto read = board.begin(ActivityKind::tftp_read, "10.0.0.2 zorva.bin");
    read->set_total(4'000'000);
    meter.poll(t0);
    read->set_done(1'000'000);
    ProgressView view = meter.poll(t0 + 1s);
    EXPECT_TRUE(view.active);
    EXPECT_EQ(25, view.percent);
    EXPECT_NE(std::string::npos, view.text.find(" 25 % ")) << view.text;
    EXPECT_NE(std::string::npos, view.text.find(" left")) << view.text;

    auto job = board.begin(ActivityKind::firmware, "10.0.0.2");
    job->set_step("login");
    view = meter.poll(t0 + 2s);
    EXPECT_EQ("Firmware update: login (+1 more)", view.text);

    job->finish(false, "failed at login");
    read.reset();  // a transfer dropped without a word (its service stopped)
    view = meter.poll(t0 + 3s);
    EXPECT_FALSE(view.active);
    EXPECT_EQ("10.0.0.2 zorva.bin: stopped", view.text);

    // What a service waits for follows the last outcome, and gives way to what runs.
    board.set_waiting("Waiting for the controller's network 192.168.1.0/24");
    EXPECT_EQ("10.0.0.2 zorva.bin: stopped; Waiting for the controller's network 192.168.1.0/24",
              meter.poll(t0 + 4s).text);
    auto next = board.begin(ActivityKind::web, "10.0.0.2");
    EXPECT_EQ("Web pages: 0", meter.poll(t0 + 5s).text);
    next.reset();
    board.set_waiting({});
    EXPECT_EQ("Web pages: stopped", meter.poll(t0 + 6s).text);
    ProgressBoard fresh;
    fresh.set_waiting("Waiting for the controller's network 10.0.0.0/8");
    EXPECT_EQ("Waiting for the controller's network 10.0.0.0/8", ProgressMeter(fresh).poll().text);
}

TEST(LoadReport, AppendsOneObjectPerLineOnlyWhileWanted) {
    test::TempDir dir;
    const auto path = dir.path() / "report.jsonl";
    report("check", {{"status", "ok"}});  // nowhere to go yet
    EXPECT_FALSE(report_wanted());

    std::string error;
    EXPECT_FALSE(report_to_file((dir.path() / "missing" / "r.jsonl").string(), &error));
    EXPECT_EQ("No such file or directory", error);

    dir.write("report.jsonl", "{\"earlier\":1}\n");
    ASSERT_TRUE(report_to_file(path.string(), &error)) << error;
    report("firmware", {{"version", std::string("3.2\xff\n")}, {"address", "10.0.0.2"}});
    report("web", {{"files", nlohmann::ordered_json::array()}});
    stop_report();
    report("check", {{"status", "ok"}});

    std::istringstream lines(test::read_file(path));
    std::vector<nlohmann::json> records;
    for (std::string line; std::getline(lines, line);)
        records.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ(1, records[0]["earlier"]);
    EXPECT_EQ("firmware", records[1]["event"]);
    EXPECT_EQ("3.2\xef\xbf\xbd\n", records[1]["version"]);  // not UTF-8: replaced, still one line
    // "2026-12-07T13:45:01.123Z": digits where the pattern has 9, the rest as it stands.
    const std::string time = records[1]["time"];
    const std::string_view pattern = "9999-99-99T99:99:99.999Z";
    ASSERT_EQ(pattern.size(), time.size()) << time;
    for (std::size_t i = 0; i < time.size(); ++i)
        EXPECT_TRUE(pattern[i] == '9' ? std::isdigit(static_cast<unsigned char>(time[i])) != 0
                                      : time[i] == pattern[i])
            << time;
    EXPECT_EQ("web", records[2]["event"]);
}

}  // namespace
}  // namespace core
