// The simulated controller's restart after a confirmed update, against kestrom serve: the PC
// (192.168.1.10, kestrom serve with its DHCP and TFTP services and a zorva.bin) and the
// controller (192.168.1.50, kestrom-sim --boot on its end of the veth pair) in two namespaces.
// kestrom's firmware job says "update" and "y"; the simulator then boots from the network and
// its shell comes back with the version the image names, or fails in the way it was told to.
#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/sha256.h"
#include "platform/socket.h"
#include "temp_hive.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

struct Restart {
    const char* name;
    const char* options;  // added to kestrom-sim's command line
    bool marker;          // the image starts with "kestrom-sim firmware 3.4"
    // Lines of the simulator, in this order; IF, BYTES and SHA stand for the interface, the
    // image's size and its digest.
    std::vector<std::string> lines;
    const char* version_after;  // "Rev ..." of the shell that came back; nullptr: it stays closed
};

void PrintTo(const Restart& r, std::ostream* os) {
    *os << r.name;
}

const std::string kFullBoot[] = {
    "boot DISCOVER on IF\n",
    "boot OFFER 192.168.1.50 from 192.168.1.10\n",
    "boot REQUEST 192.168.1.50\n",
    "boot ACK 192.168.1.50, next server 192.168.1.10, file zorva.bin\n",
    "boot TFTP read zorva.bin from 192.168.1.10 blksize 1428 windowsize 16\n",
    "boot TFTP BYTES bytes sha256 SHA\n",
};

std::vector<std::string> full_boot_then(std::vector<std::string> after) {
    std::vector<std::string> lines(std::begin(kFullBoot), std::end(kFullBoot));
    lines.insert(lines.end(), after.begin(), after.end());
    return lines;
}

// What the controller's shell says to a login and "1scv"; "refused" when nothing listens.
std::string shell_version(const test::NetNs& pc) {
    std::string answer = "no answer";
    const bool joined = pc.run_inside([&] {
        auto socket = platform::TcpSocket::connect({*platform::parse_dotted("192.168.1.50"), 23},
                                                   nullptr, 2s);
        if (!socket) {
            answer = "refused";
            return;
        }
        if (!socket->send_all(std::string_view("admin\r7305\r1scv\r"))) return;
        answer.clear();
        std::array<char, 1024> buffer{};
        // Up to the prompt behind the version.
        const auto complete = [&] {
            const auto rev = answer.find("Rev ");
            return rev != std::string::npos &&
                   answer.find("ZorvaController>", rev) != std::string::npos;
        };
        while (!complete()) {
            if (socket->wait_readable(5s) != platform::WaitResult::readable) return;
            const int n = socket->receive(buffer);
            if (n <= 0) return;
            answer.append(buffer.data(), static_cast<std::size_t>(n));
        }
    });
    return joined ? answer : "could not join the namespace";
}

class SimulatorRestart : public ::testing::TestWithParam<Restart> {};

TEST_P(SimulatorRestart, BootsFromTheNetworkAndComesBackAsTold) {
    KESTROM_NEEDS_NETNS();
    const Restart& row = GetParam();
    test::TempHive hive;
    test::TempDir pc_dir, ctl_dir;
    std::mt19937_64 rng(20261208);
    std::string image = row.marker ? "kestrom-sim firmware 3.4\n" : "plain image\n";
    while (image.size() < 1024 * 1024 + 333) image += static_cast<char>(rng());
    pc_dir.write("zorva.bin", image);
    core::Sha256 sha;
    sha.update(std::span(reinterpret_cast<const std::uint8_t*>(image.data()), image.size()));
    const std::string digest = core::Sha256::hex(sha.finish());

    test::NetNs pc("pc"), controller("ctl");
    std::string controller_if;
    ASSERT_TRUE(test::connect_veth(pc, "192.168.1.10/24", controller, "192.168.1.50/24", nullptr,
                                   &controller_if));
    const auto stored = ctl_dir / "stored.bin";
    test::ChildProcess sim(controller.exec() + (test::build_dir() / "kestrom-sim").string() +
                           " --address 192.168.1.50 --boot " + controller_if + " --boot-store " +
                           stored.string() + " " + row.options);
    ASSERT_TRUE(sim.wait_for_output("kestrom-sim: http on", 5s)) << sim.output();
    test::ChildProcess kestrom("cd " + pc_dir.path().string() + " && exec " + pc.exec() +
                                   (test::build_dir() / "kestrom").string() + " serve",
                               /*stdin_pipe=*/true);
    ASSERT_TRUE(kestrom.wait_for_output("TFTP Daemon Binding to 192.168.1.10\n", 5s))
        << kestrom.output();

    ASSERT_TRUE(kestrom.write_stdin("firmware\n"));
    ASSERT_TRUE(sim.wait_for_output("kestrom-sim: shell closed, the controller restarts\n", 20s))
        << "no restart after the update dialogue\n"
        << sim.output() << kestrom.output();
    const std::string last = "kestrom-sim: " + row.lines.back();
    ASSERT_TRUE(sim.wait_for_output(last, 10s)) << "no \"" << last << "\"\n" << sim.output();
    const std::string out = sim.output();
    std::size_t at = out.find("kestrom-sim: shell closed");
    for (std::string line : row.lines) {
        for (const auto& [token, value] : {std::pair<std::string, std::string>{"IF", controller_if},
                                           {"BYTES", std::to_string(image.size())},
                                           {"SHA", digest}})
            if (const auto p = line.find(token); p != std::string::npos)
                line.replace(p, token.size(), value);
        const auto found = out.find("kestrom-sim: " + line, at);
        ASSERT_NE(std::string::npos, found) << "no \"" << line << "\" in order\n" << out;
        at = found;
    }
    if (row.lines.front().starts_with("boot none")) {
        EXPECT_EQ(std::string::npos, out.find("DISCOVER")) << out;
    }

    const std::string shell = shell_version(pc);
    if (row.version_after) {
        EXPECT_NE(std::string::npos, shell.find(std::string("Rev ") + row.version_after + "\r\n"))
            << shell;
    } else {
        EXPECT_EQ("refused", shell) << "the shell came back";
    }
    if (out.find("boot TFTP " + std::to_string(image.size())) != std::string::npos) {
        EXPECT_TRUE(test::read_file(stored) == image) << "the stored image differs";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SimulatorRestart,
    ::testing::Values(
        Restart{"FullBoot", "", true, full_boot_then({"shell back, version 3.4\n"}), "3.4"},
        Restart{"NoMarker", "", false,
                full_boot_then({"boot image has no first line \"kestrom-sim firmware V\", the "
                                "version stays 3.2\n",
                                "shell back, version 3.2\n"}),
                "3.2"},
        Restart{"NoBoot",
                "--boot-fail none",
                true,
                {"boot none: no network boot, the shell stays closed\n"},
                nullptr},
        Restart{"Halfway",
                "--boot-fail halfway",
                true,
                {"boot DISCOVER on IF\n", "boot TFTP read zorva.bin",
                 "boot failed: TFTP read abandoned halfway at "},
                nullptr},
        Restart{"OldVersion", "--boot-fail old-version", true,
                full_boot_then({"boot image version 3.4 not taken (old-version), the version "
                                "stays 3.2\n",
                                "shell back, version 3.2\n"}),
                "3.2"},
        Restart{"NoShell", "--boot-fail no-shell", true,
                full_boot_then({"shell not back (no-shell)\n"}), nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
