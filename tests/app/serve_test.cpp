// `kestrom serve` as the user runs it: the built binary, inside a throwaway network namespace
// (it binds the real DHCP and TFTP ports), with its own hive and working directory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "temp_hive.h"
#include "test_support.h"

namespace {

std::string kestrom() {
    return (test::build_dir() / "kestrom").string();
}

std::string config_get(const std::string& name) {
    auto r = test::run_command(kestrom() + " config get " + name);
    if (!r.output.empty() && r.output.back() == '\n') r.output.pop_back();
    return r.output;
}

// Waits up to 5 s for the store to hold `text` as the setting's value.
::testing::AssertionResult wait_for_stored(const std::string& name, const std::string& text) {
    std::string stored;
    if (test::wait_until([&] { return (stored = config_get(name)) == text; },
                         std::chrono::seconds(5), std::chrono::milliseconds(20)))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << name << " was not stored as \"" << text
                                         << "\" within 5 s; the store holds \"" << stored << "\"";
}

class Serve : public ::testing::Test {
protected:
    void SetUp() override {
        KESTROM_NEEDS_NETNS();
        ns_ = std::make_unique<test::NetNs>("serve");
        process_ = std::make_unique<test::ChildProcess>("cd " + dir_.path().string() + " && exec " +
                                                            ns_->exec() + kestrom() + " serve 2>" +
                                                            (dir_ / "stderr").string(),
                                                        /*stdin_pipe=*/true);
    }
    std::string stderr_text() const { return test::read_file(dir_ / "stderr"); }

    test::TempHive hive_;
    test::TempDir dir_;
    std::unique_ptr<test::NetNs> ns_;
    std::unique_ptr<test::ChildProcess> process_;
};

TEST_F(Serve, AppliesConsoleEditsAndRefusesWrongCommandsWithUsage) {
    ASSERT_TRUE(process_->write_stdin("set PoolSize 12\n"));
    ASSERT_TRUE(wait_for_stored("PoolSize", "12"));
    ASSERT_TRUE(process_->write_stdin("set Zorva_TFTP_TCP_PORT 8080x\n"));
    ASSERT_TRUE(wait_for_stored("Zorva_TFTP_TCP_PORT", "8080"));

    // A name in another case is the same setting, as in the registry.
    ASSERT_TRUE(process_->write_stdin("set Pool_Size 3\nbogus\n\nset zorvalogin root\n"));
    ASSERT_TRUE(wait_for_stored("ZorvaLogin", "root"));
    // The two wrong lines each got one usage line; the blank line none; nothing was stored.
    const std::string err = stderr_text();
    std::size_t usages = 0;
    for (auto p = err.find("usage: "); p != std::string::npos; p = err.find("usage: ", p + 1))
        ++usages;
    EXPECT_EQ(2u, usages) << err;
    EXPECT_EQ("12", config_get("PoolSize"));
    EXPECT_EQ(std::string::npos, process_->output().find("usage")) << process_->output();

    // An empty text clears the field: the port becomes 0.
    ASSERT_TRUE(process_->write_stdin("set Zorva_TFTP_TCP_PORT \n"));
    ASSERT_TRUE(wait_for_stored("Zorva_TFTP_TCP_PORT", "0"));

    ASSERT_TRUE(process_->write_stdin("quit\n"));
    EXPECT_EQ(0, process_->wait());
}

TEST_F(Serve, RunsOnAfterTheEndOfInputAndEndsCleanlyOnSigterm) {
    ASSERT_TRUE(process_->write_stdin("set netmask 255.255.0.0\n"));
    ASSERT_TRUE(wait_for_stored("netmask", "255.255.0.0"));
    process_->close_stdin();
    EXPECT_EQ(-1, process_->wait(std::chrono::milliseconds(500))) << "ended at end of input";
    process_->signal(SIGTERM);
    EXPECT_EQ(0, process_->wait());
}

TEST_F(Serve, EndsCleanlyOnSigint) {
    ASSERT_TRUE(process_->write_stdin("set bootFile other.bin\n"));
    ASSERT_TRUE(wait_for_stored("bootFile", "other.bin"));
    process_->signal(SIGINT);
    EXPECT_EQ(0, process_->wait());
}

// A pseudo-terminal for a child's standard error: its name, and what the child wrote to it.
class PseudoTerminal {
public:
    PseudoTerminal() : master_(::posix_openpt(O_RDWR | O_NOCTTY)) {
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0)
            name_ = ::ptsname(master_);
    }
    ~PseudoTerminal() {
        if (master_ >= 0) ::close(master_);
    }
    const std::string& name() const { return name_; }
    std::string read_all() {
        ::fcntl(master_, F_SETFL, O_NONBLOCK);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(master_, buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }

private:
    int master_;
    std::string name_;
};

// With standard error on a terminal, serve draws its progress line there, and standard output
// (here a pipe) stays exactly the log.
TEST(ServeProgress, DrawsTheLineOnTheTerminalAndLeavesTheLogAsItIs) {
    KESTROM_NEEDS_NETNS();
    test::TempHive hive;
    test::TempDir dir;
    dir.write("zorva.bin", std::string(30 * 1024 * 1024, 'z'));  // long enough to be seen
    test::NetNs ns("progress");
    ASSERT_EQ(0, ns.run("ip link set lo up").status);
    PseudoTerminal terminal;
    ASSERT_FALSE(terminal.name().empty());
    test::ChildProcess serve("cd " + dir.path().string() + " && exec " + ns.exec() + kestrom() +
                                 " serve 2>" + terminal.name(),
                             /*stdin_pipe=*/true);
    ASSERT_TRUE(serve.wait_for_output("Ready...\n")) << serve.output();
    const auto fetch = ns.run("busybox tftp -g -b 512 -r zorva.bin -l " +
                              (dir.path() / "copy").string() + " 127.0.0.1");
    ASSERT_EQ(0, fetch.status) << fetch.output;
    ASSERT_TRUE(serve.wait_for_output(" Blocks Served\n")) << serve.output();
    // The line's next ticks draw the transfer's end.
    std::string screen;
    EXPECT_TRUE(test::wait_until(
        [&] {
            screen += terminal.read_all();
            return screen.find("zorva.bin: served (") != std::string::npos;
        },
        std::chrono::seconds(5)))
        << "the terminal showed no served line within 5 s of the log's\n"
        << screen;
    ASSERT_TRUE(serve.write_stdin("quit\n"));
    EXPECT_EQ(0, serve.wait());

    screen += terminal.read_all();
    EXPECT_NE(std::string::npos, screen.find("127.0.0.1 zorva.bin ")) << screen;
    EXPECT_NE(std::string::npos, screen.find(" %")) << screen;
    EXPECT_NE(std::string::npos, screen.find("127.0.0.1 zorva.bin: served (31457280 bytes"))
        << screen;
    const std::string log = serve.output();
    EXPECT_EQ(std::string::npos, log.find_first_of("\r\x1b%")) << log;
    EXPECT_EQ(std::string::npos, log.find("zorva.bin: served")) << log;
}

// The end request ends serve within 2 s whatever its threads are doing: here a client reads a
// FIFO placed as zorva.bin (opened as a file, it would wait for a writer), or nobody reads
// standard output (the log's writer waits on the full pipe).
TEST(ServeEnd, EndsWithinTwoSecondsOfSigtermWhateverItsThreadsDo) {
    KESTROM_NEEDS_NETNS();
    struct Case {
        const char* what;
        bool fifo_served;  // else: standard output is a FIFO that nobody reads
    };
    for (const Case c : {Case{"a client reads a FIFO", true}, Case{"the log is not read", false}}) {
        SCOPED_TRACE(c.what);
        test::TempHive hive;
        test::TempDir dir;
        test::NetNs ns("end");
        ASSERT_EQ(0, ns.run("ip link set lo up").status);
        const auto fifo = dir / (c.fifo_served ? "zorva.bin" : "stdout");
        ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
        // The reading end is held before serve opens the writing one, so neither waits.
        const int log =
            c.fifo_served ? -1 : ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const std::string output = c.fifo_served ? "" : " >" + fifo.string();
        test::ChildProcess serve("cd " + dir.path().string() + " && exec " + ns.exec() + kestrom() +
                                     " serve" + output + " 2>" + (dir / "stderr").string(),
                                 /*stdin_pipe=*/true);
        struct Closer {
            int fd;
            ~Closer() {
                if (fd >= 0) ::close(fd);
            }
        } closer{log};  // closed first: a writer caught on the pipe then ends with it
        std::unique_ptr<test::ChildProcess> client;
        if (c.fifo_served) {
            ASSERT_TRUE(serve.wait_for_output("Ready...\n")) << serve.output();
            client = std::make_unique<test::ChildProcess>(ns.exec() +
                                                          "busybox tftp -g -r zorva.bin -l " +
                                                          (dir / "copy").string() + " 127.0.0.1");
            // Refused at once, or caught in open(): either way the request was taken.
            (void)serve.wait_for_output(", error: ", std::chrono::seconds(1));
        } else {
            // Each read of the missing zorva.bin is a log line, until the pipe (one page) holds
            // all it can: its content stays the same while requests go on. A loaded machine may
            // take a while to start the service and fill the pipe.
            ASSERT_GT(::fcntl(log, F_SETPIPE_SZ, 4096), 0);
            bool full = false;
            ASSERT_TRUE(ns.run_inside([&] {
                const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                to.sin_port = htons(69);
                const char request[] = "\0\1zorva.bin\0octet";  // with its last NUL
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
                for (int held = 0, before = 0, same = 0;
                     same < 3 && std::chrono::steady_clock::now() < deadline; before = held) {
                    for (int i = 0; i < 50; ++i)
                        (void)::sendto(s, request, sizeof request, 0,
                                       reinterpret_cast<const sockaddr*>(&to), sizeof to);
                    ::usleep(20'000);
                    if (::ioctl(log, FIONREAD, &held) != 0) break;
                    same = held >= 2048 && held == before ? same + 1 : 0;
                    full = same == 3;
                }
                ::close(s);
            }));
            ASSERT_TRUE(full) << "the log never filled the pipe";
        }
        serve.signal(SIGTERM);
        EXPECT_EQ(0, serve.wait(std::chrono::milliseconds(2500)))
            << "still running 2.5 s after SIGTERM";
    }
}

TEST(ServeUsage, RefusesUnknownOptions) {
    const auto r = test::run_command(kestrom() + " serve --bogus");
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.output.find("usage: kestrom serve [--trace]"));
}

}  // namespace
