#include "update/firmware_update.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "process_use.h"
#if !defined(_WIN32)
#include "silent_segment.h"
#endif
#include "platform/net.h"
#include "telnet_shell.h"
#include "test_support.h"
#include "update/telnet_client.h"

namespace {

using namespace std::chrono_literals;

// The dialogue takes about seven seconds by design; these deadlines only catch a hang.
constexpr auto kJobDeadline = 60s;

constexpr const char* kLoggedIn = ">> Connect...OK!\n>> Sent login...OK!\n>> Sent password...OK!\n";
constexpr const char* kTooOld = "\nVersion number should be 3.2 or higher!\nUpdate ";
constexpr const char* kFullDialogue = "admin\r7305\r1scv\rupdate\ry";

TEST(VersionText, RunsOverDigitsAndEveryByteNotAboveThePoint) {
    struct Case {
        const char* what;
        std::string answer;
        std::string text;
    };
    const Case cases[] = {
        {"ends at the prompt's letter", "3.2\r\nZorvaController>", "3.2\r\n"},
        {"ends at the end of the answer", "10.1", "10.1"},
        {"letter right behind the mark", "V3.2", ""},
        {"nothing behind the mark", "", ""},
        {"signs, commas and blanks", "-1,5 +2 x", "-1,5 +2 "},
        {"bytes 128 to 255 and NUL",
         std::string("4\x80\xff\0"
                     "5z",
                     6),
         std::string("4\x80\xff\0"
                     "5",
                     5)},
        {"slash is above the point", "3/2", "3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string answer = "Firmware Rev " + c.answer;
        EXPECT_EQ(c.text, update::version_text(answer, 13));
    }
    EXPECT_EQ("", update::version_text("short", 99));  // a start beyond the end is empty
}

TEST(CLocaleDecimal, ConvertsLikeTheCLibraryInTheCLocale) {
    struct Case {
        const char* text;
        double value;
    };
    const Case cases[] = {
        {"3.2", 3.2},
        {"3.19", 3.19},
        {"10.1\r\n", 10.1},
        {"  \r\n 4.0", 4.0},
        {"+3.5", 3.5},
        {"-2.5", -2.5},
        {"3,5", 3.0},
        {"3.2.1", 3.2},
        {".5", 0.5},
        {"7.", 7.0},
        {"", 0.0},
        {".", 0.0},
        {"+-3", 0.0},
        {"- 3", 0.0},
        {"\x80"
         "3",
         0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_DOUBLE_EQ(c.value, update::c_locale_decimal(c.text));
    }
}

// One run of the whole hand-over and job against the simulated controller.
struct JobRun {
    update::HandOverResult started;
    int exit_code = -1;
    std::string log;
    std::string received;  // what the controller got, all sessions
    int confirmed = 0;
    std::chrono::steady_clock::duration took{};
    test::ProcessUse before, after;  // besides the simulated controller's own
    std::size_t peak_growth_kib = 0;
};

JobRun run_job(sim::ShellOptions options, const std::string& login = "admin",
               const std::string& password = "7305",
               std::chrono::milliseconds exchange_limit = update::kExchangeLimit) {
    options.port = 0;
    const auto shell = sim::TelnetShell::start(options);
    EXPECT_TRUE(shell);
    if (!shell) return {};
    test::CapturedLog log;
    JobRun run;
    run.before = test::process_use();
    const std::size_t resident = test::resident_kib();
    const auto start = std::chrono::steady_clock::now();
    run.started = update::firmware_update_hand_over(login, password, "127.0.0.1", shell->port(),
                                                    exchange_limit);
    run.exit_code = update::wait_for_firmware_job(kJobDeadline).value_or(-1);
    run.took = std::chrono::steady_clock::now() - start;
    // The job closed its side; let the controller see the end before reading its record.
    EXPECT_TRUE(shell->wait_sessions_ended(1, 10s));
    run.after = test::process_use_back_to(run.before);
    const std::size_t peak = test::peak_resident_kib();
    run.peak_growth_kib = peak > resident ? peak - resident : 0;
    run.log = log.text();
    run.received = shell->received();
    run.confirmed = shell->updates_confirmed();
    return run;
}

// One row per place the dialogue can stop or pass, each its own test case so that they run in
// parallel; the log must end exactly where the dialogue stopped.
struct DialogueRow {
    const char* name;
    sim::ShellOptions options;
    std::string password;
    std::string log;
    std::string wire;
    int exit_code;
};

sim::ShellOptions shell_with(void (*tweak)(sim::ShellOptions&)) {
    sim::ShellOptions o;
    tweak(o);
    return o;
}

const DialogueRow kRows[] = {
    {"Version3_2Passes",
     {},
     "7305",
     std::string(kLoggedIn) + ">> Check version...OK!\nVersion [3.200000]\n",
     kFullDialogue,
     update::kJobSucceeded},
    {"Version4_0Passes", shell_with([](auto& o) { o.version = "4.0"; }), "7305",
     std::string(kLoggedIn) + ">> Check version...OK!\nVersion [4.000000]\n", kFullDialogue,
     update::kJobSucceeded},
    {"Version10_1Passes", shell_with([](auto& o) { o.version = "10.1"; }), "7305",
     std::string(kLoggedIn) + ">> Check version...OK!\nVersion [10.100000]\n", kFullDialogue,
     update::kJobSucceeded},
    {"Version3_19IsRefused", shell_with([](auto& o) { o.version = "3.19"; }), "7305",
     std::string(kLoggedIn) + ">> Check version...OK!\nVersion [3.190000]\n" + kTooOld,
     "admin\r7305\r1scv\r", update::kJobFailed},
    {"LetterRightAfterRevReadsAsZero", shell_with([](auto& o) { o.version = "V3.2"; }), "7305",
     std::string(kLoggedIn) + ">> Check version...OK!\nVersion [0.000000]\n" + kTooOld,
     "admin\r7305\r1scv\r", update::kJobFailed},
    {"NoRevFails", shell_with([](auto& o) { o.no_rev = true; }), "7305",
     std::string(kLoggedIn) + ">> Check version...FAILED!\n" + kTooOld, "admin\r7305\r1scv\r",
     update::kJobFailed},
    {"NoLoginInTheGreetingStopsAfterConnect",
     shell_with([](auto& o) { o.greet_on_line_end = true; }), "7305", ">> Connect...", "",
     update::kJobFailed},
    {"NoPasswordPromptStopsAfterTheLogin", shell_with([](auto& o) { o.no_password_prompt = true; }),
     "7305", ">> Connect...OK!\n>> Sent login...", "admin\r", update::kJobFailed},
    {"WrongPasswordStopsAfterThePassword",
     {},
     "wrong",
     ">> Connect...OK!\n>> Sent login...OK!\n>> Sent password...",
     "admin\rwrong\r",
     update::kJobFailed},
    {"NoYesNoQuestionStopsAfterTheVersionLine", shell_with([](auto& o) { o.no_yn = true; }), "7305",
     std::string(kLoggedIn) + ">> Check version...OK!\nVersion [3.200000]\n",
     "admin\r7305\r1scv\rupdate\r", update::kJobFailed},
    {"GreetingLongerThan999BytesPasses", shell_with([](auto& o) { o.greeting_size = 2500; }),
     "7305", std::string(kLoggedIn) + ">> Check version...OK!\nVersion [3.200000]\n", kFullDialogue,
     update::kJobSucceeded},
    {"SlowDripOutputPasses", shell_with([](auto& o) { o.drip = 10ms; }), "7305",
     std::string(kLoggedIn) + ">> Check version...OK!\nVersion [3.200000]\n", kFullDialogue,
     update::kJobSucceeded},
};

void PrintTo(const DialogueRow& row, std::ostream* os) {
    *os << row.name;
}

class FirmwareDialogue : public testing::TestWithParam<DialogueRow> {};

TEST_P(FirmwareDialogue, EndsTheLogAndTheWireExactlyWhereItStops) {
    const DialogueRow& row = GetParam();
    const JobRun run = run_job(row.options, "admin", row.password);
    EXPECT_EQ(update::HandOverResult::started, run.started);
    EXPECT_EQ(row.exit_code, run.exit_code);
    EXPECT_EQ(row.log, run.log);
    EXPECT_EQ(row.wire, run.received);
    EXPECT_EQ(row.exit_code == update::kJobSucceeded ? 1 : 0, run.confirmed);
}

INSTANTIATE_TEST_SUITE_P(AgainstTheSimulatedController, FirmwareDialogue, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Controllers that misbehave on purpose: each job ends with the described lines, within the
// exchange limit, with bounded memory, and leaves no thread or socket behind.
constexpr auto kShortLimit = 1500ms;

struct HostileRow {
    const char* name;
    sim::ShellOptions options;
    std::string log;
    std::string wire;
    int exit_code;
    std::chrono::milliseconds limit = kShortLimit;  // of each exchange
};
constexpr const char* kPassed = ">> Check version...OK!\nVersion [3.200000]\n";

const HostileRow kHostileRows[] = {
    {"FloodOf32MbAheadOfTheGreetingPasses", shell_with([](auto& o) { o.flood_bytes = 32u << 20; }),
     std::string(kLoggedIn) + kPassed, kFullDialogue, update::kJobSucceeded, 30s},
    {"EndlessFloodFailsTheGreetingAtTheLimit",
     shell_with([](auto& o) { o.flood_bytes = std::uint64_t{1} << 40; }), ">> Connect...", "",
     update::kJobFailed},
    {"ByteEveryHundredMsFailsTheGreetingAtTheLimit", shell_with([](auto& o) {
         o.flood_bytes = 100000;
         o.drip = 100ms;
     }),
     ">> Connect...", "", update::kJobFailed},
    {"SilentShellStopsAfterConnect", shell_with([](auto& o) { o.silent = true; }), ">> Connect...",
     "", update::kJobFailed},
    {"CloseInTheGreeting", shell_with([](auto& o) { o.close_in_answer = 1; }), ">> Connect...", "",
     update::kJobFailed},
    {"CloseInThePasswordPrompt", shell_with([](auto& o) { o.close_in_answer = 2; }),
     ">> Connect...OK!\n>> Sent login...", "admin\r", update::kJobFailed},
    {"CloseInTheWelcome", shell_with([](auto& o) { o.close_in_answer = 3; }),
     ">> Connect...OK!\n>> Sent login...OK!\n>> Sent password...", "admin\r7305\r",
     update::kJobFailed},
    {"CloseInTheVersionAnswer", shell_with([](auto& o) { o.close_in_answer = 4; }),
     std::string(kLoggedIn) + ">> Check version...FAILED!\n" + kTooOld, "admin\r7305\r1scv\r",
     update::kJobFailed},
    {"CloseInTheYesNoQuestion", shell_with([](auto& o) { o.close_in_answer = 5; }),
     std::string(kLoggedIn) + kPassed, "admin\r7305\r1scv\rupdate\r", update::kJobFailed},
    {"NulBytesAheadOfEveryAnswerPass", shell_with([](auto& o) { o.nul_bytes = 300; }),
     std::string(kLoggedIn) + kPassed, kFullDialogue, update::kJobSucceeded},
    {"LinesOf64KbAndNulBytesAheadOfEveryAnswerPass", shell_with([](auto& o) {
         o.nul_bytes = 300;
         o.long_line = 64 << 10;
     }),
     std::string(kLoggedIn) + kPassed, kFullDialogue, update::kJobSucceeded},
};

void PrintTo(const HostileRow& row, std::ostream* os) {
    *os << row.name;
}

class HostileController : public testing::TestWithParam<HostileRow> {};

TEST_P(HostileController, EndsWithTheDescribedLinesAndLeavesNothingBehind) {
    const HostileRow& row = GetParam();
    const JobRun run = run_job(row.options, "admin", "7305", row.limit);
    EXPECT_EQ(update::HandOverResult::started, run.started);
    EXPECT_EQ(row.exit_code, run.exit_code);
    EXPECT_EQ(row.log, run.log);
    EXPECT_EQ(row.wire, run.received);
    EXPECT_EQ(run.before.threads, run.after.threads);
    EXPECT_EQ(run.before.open_files, run.after.open_files);
    // Keeping the 32 MB flood would take twice that at least.
    EXPECT_LT(run.peak_growth_kib, 16u << 10);
    // No step runs past its limit: seven exchanges at most, and 1.1 s of pauses.
    EXPECT_LT(run.took, 7 * row.limit + 1100ms + 2s);
}

INSTANTIATE_TEST_SUITE_P(AgainstTheSimulatedController, HostileController,
                         testing::ValuesIn(kHostileRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FirmwareUpdate, AFailedConnectStartsNoJob) {
    auto listener = platform::TcpListener::listen(platform::kLoopbackAddress, 0);
    const std::uint16_t port = listener->local_endpoint().port;
    listener->close();  // refused from now on
    test::CapturedLog log;
    EXPECT_EQ(update::HandOverResult::connect_failed,
              update::firmware_update_hand_over("admin", "7305", "127.0.0.1", port));
    EXPECT_EQ(update::kJobFailed, update::wait_for_firmware_job(0ms));
    // The number is the platform's (ECONNREFUSED, 111 on Linux; WSAECONNREFUSED on Windows).
    EXPECT_EQ("Error at socket(): " + std::to_string(platform::kErrorConnectionRefused) + "\n",
              log.text());
}

#if !defined(_WIN32)  // a silent address in a network namespace
// The command line's hand-over waits for the connect in its own thread; the window's start
// returns at once and its job connects, and a click meanwhile is ignored as during a job. The
// log is the same either way.
TEST(FirmwareUpdate, AConnectThatNobodyAnswersFailsWithinItsBound) {
    KESTROM_NEEDS_NETNS();
    test::SilentSegment segment;
    ASSERT_TRUE(segment.ready());
    constexpr auto kBound = 1s;
    const std::string failed = "Error at socket(): " + std::to_string(ETIMEDOUT) + "\n";
    struct Case {
        const char* what;
        bool start;  // the window's start, not the command line's hand-over
        update::HandOverResult result;
    };
    const Case cases[] = {
        {"the command line's hand-over", false, update::HandOverResult::connect_failed},
        {"the window's start", true, update::HandOverResult::started},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::CapturedLog log;
        update::HandOverResult result{}, second{};
        std::chrono::steady_clock::duration took{};
        int exit_code = -1;
        // One that outlasts its bound by 3 s fails the test there and then.
        bool joined = false;
        test::run_within(kBound + 3s, "a connect to a silent address (bound 1 s)", [&] {
            joined = segment.run_inside([&] {
                const char* silent = test::SilentSegment::kSilentAddress;
                const auto start = std::chrono::steady_clock::now();
                result = c.start ? update::firmware_update_start("admin", "7305", silent,
                                                                 update::kTelnetPort,
                                                                 update::kExchangeLimit, kBound)
                                 : update::firmware_update_hand_over(
                                       "admin", "7305", silent, update::kTelnetPort,
                                       update::kExchangeLimit, kBound);
                took = std::chrono::steady_clock::now() - start;
                if (c.start) second = update::firmware_update_start("admin", "7305", silent);
                exit_code = update::wait_for_firmware_job(kBound + 2s).value_or(-1);
            });
        });
        ASSERT_TRUE(joined);
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(update::kJobFailed, exit_code);
        if (c.start) {
            EXPECT_LT(took, 100ms) << "the caller waited for the connect";
            EXPECT_EQ(update::HandOverResult::already_running, second);
            EXPECT_EQ("Firmware update already running!\n" + failed, log.text());
        } else {
            EXPECT_GE(took, kBound - 100ms);
            EXPECT_LT(took, kBound + 3s);
            EXPECT_EQ(failed, log.text());
        }
    }
}
#endif

TEST(FirmwareUpdate, ASecondJobReusesTheOneClientOnANewConnection) {
    sim::ShellOptions options;
    options.port = 0;
    const auto shell = sim::TelnetShell::start(options);
    ASSERT_TRUE(shell);
    test::CapturedLog log;
    const update::CTelnetClient* first = nullptr;
    for (int job = 1; job <= 2; ++job) {
        SCOPED_TRACE(job);
        log.clear();
        ASSERT_EQ(update::HandOverResult::started,
                  update::firmware_update_hand_over("admin", "7305", "127.0.0.1", shell->port()));
        EXPECT_EQ(update::kJobSucceeded, update::wait_for_firmware_job(kJobDeadline));
        ASSERT_TRUE(shell->wait_sessions_ended(static_cast<std::size_t>(job), 10s));
        if (job == 1) first = update::firmware_client();
        EXPECT_EQ(first, update::firmware_client());
        EXPECT_EQ(std::string(kLoggedIn) + ">> Check version...OK!\nVersion [3.200000]\n",
                  log.text());
    }
    const std::vector<std::string> sessions = shell->sessions();
    ASSERT_EQ(2u, sessions.size());
    EXPECT_EQ(kFullDialogue, sessions[0]);
    EXPECT_EQ(kFullDialogue, sessions[1]);
}

TEST(FirmwareUpdate, AClickWhileAJobRunsIsIgnoredAndLogged) {
    sim::ShellOptions options;
    options.port = 0;
    const auto shell = sim::TelnetShell::start(options);
    ASSERT_TRUE(shell);
    test::CapturedLog log;
    ASSERT_EQ(update::HandOverResult::started,
              update::firmware_update_hand_over("admin", "7305", "127.0.0.1", shell->port()));
    EXPECT_EQ(update::HandOverResult::already_running,
              update::firmware_update_hand_over("admin", "7305", "127.0.0.1", shell->port()));
    EXPECT_EQ(update::kJobSucceeded, update::wait_for_firmware_job(kJobDeadline));
    ASSERT_TRUE(shell->wait_sessions_ended(1, 10s));
    EXPECT_NE(std::string::npos, log.text().find("Firmware update already running!\n"));
    EXPECT_NE(std::string::npos, log.text().find("Version [3.200000]\n"));
    const std::vector<std::string> sessions = shell->sessions();
    ASSERT_EQ(1u, sessions.size());
    EXPECT_EQ(kFullDialogue, sessions[0]);
}

}  // namespace
