// Network boot firmware against kestrom serve: a virtual machine whose only disk is the network
// takes its address from our DHCP service and its boot file from our TFTP service, as a PC or a
// controller that boots from the network does. Two firmwares with two different DHCP clients:
// iPXE under a legacy BIOS, and the UEFI firmware's own network boot, which is strict about
// repeated options in the replies. The machine runs under software emulation in a namespace of
// its own, on a tap device that is the namespace's only link.
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>

#include "temp_hive.h"
#include "test_support.h"

namespace {

constexpr const char* kQemu = "/usr/bin/qemu-system-x86_64";
constexpr const char* kUefiCode = "/usr/share/OVMF/OVMF_CODE_4M.fd";
constexpr const char* kUefiVars = "/usr/share/OVMF/OVMF_VARS_4M.fd";

struct Firmware {
    const char* name;
    // After the common ones; CODE and VARS stand for the UEFI firmware and the machine's own
    // copy of its variable store.
    const char* machine_args;
};

void PrintTo(const Firmware& f, std::ostream* os) { *os << f.name; }

class NetworkBoot : public ::testing::TestWithParam<Firmware> {};

TEST_P(NetworkBoot, TakesTheAddressAndTheWholeBootFile) {
    KESTROM_NEEDS_NETNS();
    // Both come with the test packages (scripts/setup.sh --test).
    ASSERT_TRUE(std::filesystem::exists(kQemu)) << "qemu-system-x86 is not installed";
    ASSERT_TRUE(std::filesystem::exists(kUefiCode)) << "ovmf is not installed";

    test::TempHive hive;
    test::TempDir dir;
    dir.write("zorva.bin", std::string(300'000, 'Z'));  // not bootable: only fetched
    std::filesystem::copy_file(kUefiVars, dir / "vars.fd");

    test::NetNs pc("boot");
    for (const char* step : {"ip tuntap add tap0 mode tap", "ip addr add 192.168.1.10/24 dev tap0",
                             "ip link set tap0 up"})
        ASSERT_EQ(0, pc.run(step).status) << step;
    test::ChildProcess kestrom("cd " + dir.path().string() + " && exec " + pc.exec() +
                                   (test::build_dir() / "kestrom").string() + " serve",
                               /*stdin_pipe=*/true);
    ASSERT_TRUE(kestrom.wait_for_output("TFTP Daemon Binding to 192.168.1.10\n"))
        << kestrom.output();

    std::string args = GetParam().machine_args;
    if (const auto at = args.find("CODE"); at != std::string::npos) args.replace(at, 4, kUefiCode);
    if (const auto at = args.find("VARS"); at != std::string::npos)
        args.replace(at, 4, (dir / "vars.fd").string());
    test::ChildProcess machine(pc.exec() + kQemu +
                               " -machine q35 -m 256 -display none -monitor none -serial none"
                               " -netdev tap,id=n0,ifname=tap0,script=no,downscript=no " +
                               args);

    // Software emulation on a loaded machine: allow for a slow start.
    // Each firmware picks its own block size, so only the end of the line is known.
    EXPECT_TRUE(kestrom.wait_for_output(" Blocks Served\n", std::chrono::seconds(180)))
        << kestrom.output() << machine.output();
    EXPECT_NE(std::string::npos, kestrom.output().find("Assigning Dynamic IP! \n"));
}

INSTANTIATE_TEST_SUITE_P(
    Firmwares, NetworkBoot,
    ::testing::Values(Firmware{"LegacyBiosIpxe", "-boot n -device e1000,netdev=n0"},
                      Firmware{"Uefi",
                               "-drive if=pflash,format=raw,readonly=on,file=CODE "
                               "-drive if=pflash,format=raw,file=VARS "
                               "-device virtio-net-pci,netdev=n0,romfile="}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
