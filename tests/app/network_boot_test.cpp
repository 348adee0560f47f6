// Network boot firmware against kestrom serve: a virtual machine whose only disk is the network
// takes its address from our DHCP service and its boot file from our TFTP service, as a PC or a
// controller that boots from the network does. Three firmwares with three different DHCP clients:
// iPXE under a legacy BIOS; the UEFI firmware's own network boot, which is strict about repeated
// options in the replies; and U-Boot, the boot loader of many embedded controllers, which sends
// DISCOVERs under new xids until an offer comes in and then requests that offer under its xid.
// Its emulated e1000 holds received frames for a second after the driver enables receiving, so
// the offer it takes is the first one, under the first of several xids. The machine runs under
// software emulation in a namespace of its own, on a tap device that is the namespace's only link.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <ostream>
#include <span>
#include <sstream>
#include <string>
#include <string_view>

#include "core/sha256.h"
#include "temp_hive.h"
#include "test_support.h"

namespace {

constexpr const char* kQemu = "/usr/bin/qemu-system-x86_64";
constexpr const char* kUefiCode = "/usr/share/OVMF/OVMF_CODE_4M.fd";
constexpr const char* kUefiVars = "/usr/share/OVMF/OVMF_VARS_4M.fd";
constexpr const char* kUBoot = "/usr/lib/u-boot/qemu-x86_64/u-boot.rom";

struct Firmware {
    const char* name;
    // After the common ones; CODE and VARS stand for the UEFI firmware and the machine's own
    // copy of its variable store, UBOOT for the U-Boot image.
    const char* machine_args;
    // A boot loader with a command line on the serial console, which the test uses: it stops
    // the autoboot, has the loader fetch the boot file and checks what the loader reports.
    bool console = false;
};

void PrintTo(const Firmware& f, std::ostream* os) {
    *os << f.name;
}

// The CRC-32 of zlib and of U-Boot's crc32 command.
std::uint32_t crc32(std::string_view data) {
    std::uint32_t crc = 0xffffffff;
    for (const unsigned char c : data) {
        crc ^= c;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

class NetworkBoot : public ::testing::TestWithParam<Firmware> {};

TEST_P(NetworkBoot, TakesTheAddressAndTheWholeBootFile) {
    KESTROM_NEEDS_NETNS();
    const Firmware& firmware = GetParam();
    // All come with the test packages (scripts/setup.sh --test).
    ASSERT_TRUE(std::filesystem::exists(kQemu)) << "qemu-system-x86 is not installed";
    ASSERT_TRUE(std::filesystem::exists(kUefiCode)) << "ovmf is not installed";
    ASSERT_TRUE(std::filesystem::exists(kUBoot)) << "u-boot-qemu is not installed";

    test::TempHive hive;
    test::TempDir dir;
    // Not bootable, only fetched; no two blocks alike, so a block lost, repeated or out of
    // place changes the loader's checksum.
    std::string image(300'000, '\0');
    std::uint32_t x = 1;
    for (char& c : image) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 24);
    }
    dir.write("zorva.bin", image);
    std::filesystem::copy_file(kUefiVars, dir / "vars.fd");

    test::NetNs pc("boot");
    for (const char* step : {"ip tuntap add tap0 mode tap", "ip addr add 192.168.1.10/24 dev tap0",
                             "ip link set tap0 up"})
        ASSERT_EQ(0, pc.run(step).status) << step;
    test::ChildProcess kestrom("cd " + dir.path().string() + " && exec " + pc.exec() +
                                   (test::build_dir() / "kestrom").string() +
                                   " serve --report report.jsonl",
                               /*stdin_pipe=*/true);
    ASSERT_TRUE(kestrom.wait_for_output("TFTP Daemon Binding to 192.168.1.10\n"))
        << kestrom.output();

    std::string args = firmware.machine_args;
    const auto fill = [&args](std::string_view token, const std::string& value) {
        if (const auto at = args.find(token); at != std::string::npos)
            args.replace(at, token.size(), value);
    };
    fill("CODE", kUefiCode);
    fill("VARS", (dir / "vars.fd").string());
    fill("UBOOT", kUBoot);
    test::ChildProcess machine(pc.exec() + kQemu +
                                   " -machine q35 -m 256 -display none -monitor none -serial " +
                                   (firmware.console ? "stdio" : "none") +
                                   " -netdev tap,id=n0,ifname=tap0,script=no,downscript=no " + args,
                               /*stdin_pipe=*/firmware.console);

    if (firmware.console) {
        // A key within the two seconds of the countdown; `dhcp` fetches the file the lease
        // names (autoload), and crc32 sums what arrived.
        ASSERT_TRUE(
            machine.wait_for_output("Hit any key to stop autoboot", std::chrono::seconds(180)))
            << machine.output();
        machine.write_stdin("\n");
        ASSERT_TRUE(machine.wait_for_output("=> ")) << machine.output();
        machine.write_stdin("dhcp && crc32 ${fileaddr} ${filesize}\n");
    }

    // Software emulation on a loaded machine: allow for a slow start.
    // Each firmware picks its own block size, so only the end of the line is known.
    EXPECT_TRUE(kestrom.wait_for_output(" Blocks Served\n", std::chrono::seconds(180)))
        << kestrom.output() << machine.output();
    EXPECT_NE(std::string::npos, kestrom.output().find("Assigning Dynamic IP! \n"));

    // What kestrom load follows a controller's boot by: the lease acknowledged to the machine's
    // hardware address (QEMU's default), then a whole read of the boot file from that lease's
    // address, with the file's digest.
    core::Sha256 sha;
    sha.update(std::span(reinterpret_cast<const std::uint8_t*>(image.data()), image.size()));
    const std::string digest = core::Sha256::hex(sha.finish());
    std::string lease, read_digest;
    const auto booted = [&] {
        std::istringstream lines(test::read_file(dir / "report.jsonl"));
        for (std::string line; std::getline(lines, line);) {
            const auto r = nlohmann::json::parse(line, nullptr, false);
            if (r.is_discarded()) continue;
            if (r.value("event", "") == "lease" && r.value("type", "") == "ack" &&
                r.value("hardware", "") == "52:54:00:12:34:56")
                lease = r.value("address", "");
            // A size probe that ends early may come first.
            if (!lease.empty() && r.value("event", "") == "tftp" &&
                r.value("client", "").starts_with(lease + ":") &&
                r.value("outcome", "") == "complete") {
                read_digest = r.value("sha256", "");
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(test::wait_until(booted, std::chrono::seconds(5)))
        << "no lease and whole read of the machine's hardware address in the report\n"
        << test::read_file(dir / "report.jsonl");
    EXPECT_EQ(digest, read_digest);
    if (!firmware.console) return;

    ASSERT_TRUE(machine.wait_for_output(" ==> ", std::chrono::seconds(30))) << machine.output();
    const std::string console = machine.output();
    // "DHCP client bound to address 192.168.1.50 (1001 ms)"
    const std::size_t bound = console.find("DHCP client bound to address ");
    ASSERT_NE(std::string::npos, bound) << console;
    const std::size_t open = console.find(" (", bound);
    ASSERT_NE(std::string::npos, open) << console;
    const int ms = std::atoi(console.c_str() + open + 2);
    // A REQUEST that gets no ACK costs the loader its 5 s wait and a second round; the first
    // round alone takes about 1 s, the e1000's hold on received frames.
    EXPECT_TRUE(ms > 0 && ms <= 2000) << "no lease at the first REQUEST\n"
                                      << kestrom.output() << console;
    char sum[16];
    std::snprintf(sum, sizeof sum, "%08x", crc32(image));
    EXPECT_NE(std::string::npos, console.find("Bytes transferred = 300000 ")) << console;
    EXPECT_NE(std::string::npos, console.find(std::string(" ==> ") + sum))
        << "the loaded file's CRC-32 is not " << sum << "\n"
        << console;
}

INSTANTIATE_TEST_SUITE_P(
    Firmwares, NetworkBoot,
    ::testing::Values(Firmware{"LegacyBiosIpxe", "-boot n -device e1000,netdev=n0"},
                      Firmware{"Uefi",
                               "-drive if=pflash,format=raw,readonly=on,file=CODE "
                               "-drive if=pflash,format=raw,file=VARS "
                               "-device virtio-net-pci,netdev=n0,romfile="},
                      // U-Boot times with the TSC. Under software emulation its calibration at
                      // start mostly fails and it takes the TSC for 1 GHz, while the TSC runs at
                      // the host's rate: on a 2.4 GHz host its milliseconds are 2.4 times too
                      // short. Under -icount the TSC counts the nanoseconds of the emulated clock,
                      // which QEMU keeps near real time.
                      Firmware{"UBoot", "-bios UBOOT -icount shift=auto -device e1000,netdev=n0",
                               /*console=*/true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
