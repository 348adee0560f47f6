// `kestrom check` on a bench of two namespaces: this PC (192.168.1.10/24) and the controller
// (192.168.1.50/24, the simulated controller's telnet and web server). Each case breaks one
// thing on purpose and looks for the item that names it; the check always runs inside the PC's
// namespace, so its connects never leave the bench.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "temp_hive.h"
#include "test_support.h"

namespace {

std::string binary(const char* name) {
    return (test::build_dir() / name).string();
}

struct Expect {
    std::string item;
    std::string status;
    std::string detail;  // a part of the detail
};

class CheckBench {
public:
    CheckBench() : pc_("pc"), controller_("ctl") {
        ok_ = test::connect_veth(pc_, "192.168.1.10/24", controller_, "192.168.1.50/24", &pc_if_,
                                 &controller_if_);
        dir_.write("zorva.bin", std::string(1000, 'z'));
        dir_.write("kestrom.ini", "[FILES]\nFILE1=index.htm\nFILE2=img\\logo.png\n");
        dir_.write("www/index.htm", "<html>zorva</html>\n");
        dir_.write("www/img/logo.png", "png");
    }
    bool ok() const { return ok_; }

    void start_controller() {
        start(controller_.exec() + binary("kestrom-sim") + " --address 192.168.1.50",
              "kestrom-sim: http on");
    }
    // With the controller up: zorva.bin cut, or lengthened with zeros (sparsely), to `size` bytes.
    void firmware_of_size(std::uintmax_t size) {
        start_controller();
        std::filesystem::resize_file(dir_ / "zorva.bin", size);
    }
    void start(const std::string& command, const std::string& ready) {
        peers_.push_back(std::make_unique<test::ChildProcess>(command));
        EXPECT_TRUE(peers_.back()->wait_for_output(ready)) << peers_.back()->output();
    }
    // A dnsmasq that answers DHCP (and nothing else) in a namespace, on its veth end. Without
    // --no-ping it would first ping a new address for 3 s, longer than the probe waits.
    // `program`: the dnsmasq to start, under whatever name.
    void start_dnsmasq(const test::NetNs& ns, const std::string& interface_name,
                       const std::string& range, const std::string& program = "dnsmasq") {
        start(ns.exec() + "'" + program + "'" +
                  " --no-daemon --conf-file=/dev/null --user=root --log-facility=- --port=0 "
                  "--no-ping --bind-interfaces --interface=" +
                  interface_name + " --dhcp-range=" + range + " --dhcp-leasefile=" +
                  (dir_ / ("leases-" + ns.name())).string() + " --pid-file= --log-dhcp 2>&1",
              "DHCP, IP range");
    }
    void set(const std::string& name, const std::string& text) {
        EXPECT_EQ(0,
                  test::run_command(binary("kestrom") + " config set " + name + " '" + text + "'")
                      .status);
    }

    // Runs the check in this PC's namespace; the items by name.
    // `as` runs it under another identity (a setpriv prefix).
    std::map<std::string, nlohmann::json> check(const std::string& args, int* status,
                                                const std::string& as = "") {
        const auto result =
            test::run_command("cd " + dir_.path().string() + " && " + pc_.exec() + as +
                              binary("kestrom") + " check --json " + args + " 2>/dev/null");
        *status = result.status;
        std::map<std::string, nlohmann::json> items;
        const auto document = nlohmann::json::parse(result.output, nullptr, false);
        EXPECT_FALSE(document.is_discarded()) << result.output;
        if (document.is_discarded()) return items;
        for (const auto& i : document["items"]) items[i["item"]] = i;
        return items;
    }

    test::NetNs pc_, controller_;
    std::string pc_if_, controller_if_;
    test::TempDir dir_;

private:
    bool ok_ = false;
    std::vector<std::unique_ptr<test::ChildProcess>> peers_;  // before the namespaces go
};

struct Case {
    const char* name;
    std::function<void(CheckBench&)> arrange;
    const char* args;
    int exit_status;
    std::vector<Expect> expect;
    const char* as = "";  // a setpriv prefix, or nothing
};

TEST(Check, FindsEachProblemAndNamesItsFix) {
    KESTROM_NEEDS_NETNS();
    const std::vector<Case> cases{
        {"all is well",
         [](CheckBench& b) { b.start_controller(); },
         "",
         0,
         {{"zorva.bin", "ok",
           "1000 bytes, SHA-256 950f88b09cf1d5e2cdbc5660c77dce3962265c548797950095629a0ea2daea46, "
           "2 blocks of 512 bytes; fits clients without blksize"},
          {"kestrom.ini", "ok", "lists 2 files"},
          {"www/img/logo.png", "ok", "3 bytes"},
          {"interface", "ok", "binds va"},
          {"pool", "ok", "192.168.1.50 to 192.168.1.60 (11 addresses), mask 255.255.255.0"},
          {"UDP 67", "ok", "free"},
          {"UDP 69", "ok", "free"},
          {"permissions", "ok", "may tie DHCP to va"},
          {"DHCP servers", "ok", "not probed"},
          {"controller telnet", "ok", "192.168.1.50:23 reachable"},
          {"controller HTTP", "ok", "192.168.1.50:80 reachable"}}},
        {"a missing page, the controller refuses",
         [](CheckBench& b) { std::filesystem::remove(b.dir_ / "www/img/logo.png"); },
         "",
         1,
         {{"www/img/logo.png", "fail", "not found"},
          {"controller telnet", "fail", "refused"},
          {"controller HTTP", "fail", "refused"}}},
        {"a controller address where nothing answers",
         [](CheckBench& b) {
             b.start_controller();
             b.set("ZorvaIPAddress", "192.168.1.77");
         },
         "",
         1,
         {{"controller telnet", "fail", "no answer within 2 s"}}},
        {"no interface in the pool's network",
         [](CheckBench& b) {
             b.start_controller();
             b.set("ZorvaIPStartAddress", "10.9.1.50");
         },
         "",
         1,
         {{"interface", "fail", "no interface is in 10.9.1.0/24"}, {"pool", "warn", ""}}},
        {"a pool over this PC's own address, past .255, with another mask",
         [](CheckBench& b) {
             b.start_controller();
             b.set("ZorvaIPStartAddress", "192.168.1.5");
             b.set("PoolSize", "300");
             b.set("netmask", "255.255.0.0");
         },
         "",
         1,
         {{"pool", "fail",
           "holds the subnet's network or broadcast address; holds this PC's own address "
           "192.168.1.10; PoolSize 300 from .5 passes .255 and is cut there; clients get the mask "
           "255.255.0.0, va"}}},
        {"UDP 67 held by another DHCP server, which also answers a probe",
         [](CheckBench& b) {
             b.start_controller();
             b.start_dnsmasq(b.pc_, b.pc_if_, "192.168.1.100,192.168.1.150,255.255.255.0");
         },
         "--probe",
         1,
         {{"UDP 67", "fail", "held by PID "}, {"UDP 69", "ok", "free"}}},
        {"a rival DHCP server on the controller's side",
         [](CheckBench& b) {
             b.start_controller();
             b.start_dnsmasq(b.controller_, b.controller_if_,
                             "192.168.1.100,192.168.1.150,255.255.255.0");
         },
         "--probe",
         1,
         {{"DHCP servers", "fail", "192.168.1.50 offered 192.168.1.1"}}},
        // The boot file's size, digest and blocks (the first short block is the last one).
        {"an empty boot file",
         [](CheckBench& b) { b.firmware_of_size(0); },
         "",
         0,
         {{"zorva.bin", "warn",
           "0 bytes, SHA-256 e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855, "
           "1 blocks of 512 bytes; the file is empty"}}},
        {"a file that fills its last block whole needs one empty block more",
         [](CheckBench& b) { b.firmware_of_size(512); },
         "",
         0,
         {{"zorva.bin", "ok",
           "512 bytes, SHA-256 037b67fb656c5d3cbaa3aa69a37b47af3bb38fd51a7ef4586076e57051207d1f, "
           "2 blocks of 512 bytes; fits clients without blksize"}}},
        {"the largest file a plain read can send",
         [](CheckBench& b) { b.firmware_of_size(33553407); },
         "",
         0,
         {{"zorva.bin", "ok",
           "33553407 bytes, SHA-256 "
           "88012251be3f9ec2ab39353e5c76504150263c9de503639b495c29821fc11733, 65534 blocks of 512 "
           "bytes; fits clients without blksize"}}},
        {"one byte more needs block 65535",
         [](CheckBench& b) { b.firmware_of_size(33553408); },
         "",
         0,
         {{"zorva.bin", "warn",
           "33553408 bytes, SHA-256 "
           "e5901b9da527aedffe702635bede42f26a26d205bdffa27b19ca91819e8f4d31, 65535 blocks of 512 "
           "bytes; a client without the blksize option stops at block 65534 (33553407 bytes at "
           "most) with File Too Large"}}},
        {"an unprivileged user",
         [](CheckBench& b) {
             b.start_controller();
             std::filesystem::permissions(b.dir_.path(), std::filesystem::perms::all);
         },
         "",
         1,
         {{"permissions", "fail", "may not bind UDP 67 and 69"}},
         "setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all "},
        {"a list that names no page",
         [](CheckBench& b) {
             b.start_controller();
             b.dir_.write("kestrom.ini", "[FILES]\n");
         },
         "",
         1,
         {{"kestrom.ini", "fail", "lists no files under [FILES]; the web job sends nothing"}}},
        {"no firmware, no list",
         [](CheckBench& b) {
             b.start_controller();
             std::filesystem::remove(b.dir_ / "zorva.bin");
             std::filesystem::remove(b.dir_ / "kestrom.ini");
         },
         "",
         1,
         {{"zorva.bin", "fail", "./zorva.bin not found"},
          {"kestrom.ini", "fail", "./kestrom.ini not found"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempHive hive;
        CheckBench bench;
        ASSERT_TRUE(bench.ok());
        c.arrange(bench);
        int status = -1;
        const auto items = bench.check(c.args, &status, c.as);
        EXPECT_EQ(c.exit_status, status);
        for (const Expect& e : c.expect) {
            SCOPED_TRACE(e.item);
            ASSERT_TRUE(items.contains(e.item));
            const auto& i = items.at(e.item);
            EXPECT_EQ(e.status, i["status"]);
            EXPECT_NE(std::string::npos, i["detail"].get<std::string>().find(e.detail))
                << i["detail"];
            if (e.status == "fail") {
                EXPECT_FALSE(i["fix"].get<std::string>().empty());
            }
        }
    }
}

// A port holder's process name is that program's choice: the check shows its control bytes as
// hex in the text and as \u escapes in the JSON, and neither hands one to the terminal.
TEST(Check, ShowsAPortHoldersNameWithoutItsControlBytes) {
    KESTROM_NEEDS_NETNS();
    test::TempHive hive;
    CheckBench bench;
    ASSERT_TRUE(bench.ok());
    // The kernel names a process after the file it was started from (15 bytes at most).
    const std::string name = "\x1b[2J\xc2\x9bK\x9d\x7fz";
    const auto program = bench.dir_ / name;
    std::filesystem::create_symlink("/usr/sbin/dnsmasq", program);
    bench.start_dnsmasq(bench.pc_, bench.pc_if_, "192.168.1.100,192.168.1.150,255.255.255.0",
                        program.string());
    const std::string run = "cd " + bench.dir_.path().string() + " && " + bench.pc_.exec() +
                            binary("kestrom") + " check";
    const auto text = test::run_command(run);
    const auto json = test::run_command(run + " --json 2>/dev/null");
    EXPECT_NE(std::string::npos, text.output.find(" (\\x1B[2J\\xC2\\x9BK\\x9D\\x7Fz)\n"))
        << core::escape_controls(text.output);
    for (const std::string& output : {text.output, json.output}) {
        for (const std::string raw : {"\x1b", "\xc2\x9b", "\x9d", "\x7f"})
            EXPECT_EQ(std::string::npos, output.find(raw)) << core::escape_controls(output);
    }
    // The same name to a JSON reader, with the byte that is no UTF-8 replaced.
    const auto document = nlohmann::json::parse(json.output, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << json.output;
    bool named = false;
    for (const auto& i : document["items"])
        if (i["item"] == "UDP 67")
            named =
                i["detail"].get<std::string>().ends_with(" (\x1b[2J\xc2\x9bK\xef\xbf\xbd\x7fz)");
    EXPECT_TRUE(named) << json.output;
}

// The text form carries the same items, a fix line under each failure, and a closing verdict.
TEST(Check, PrintsOneLinePerItemWithItsFix) {
    KESTROM_NEEDS_NETNS();
    test::TempHive hive;
    CheckBench bench;
    ASSERT_TRUE(bench.ok());
    std::filesystem::remove(bench.dir_ / "www/index.htm");
    const auto result = test::run_command("cd " + bench.dir_.path().string() + " && " +
                                          bench.pc_.exec() + binary("kestrom") + " check");
    EXPECT_EQ(1, result.status);
    EXPECT_NE(std::string::npos,
              result.output.find("\nfail  www/index.htm      www/index.htm not found; the web "
                                 "job sends nothing\n"))
        << result.output;
    EXPECT_NE(std::string::npos,
              result.output.find("fix: copy the page to " + bench.dir_.path().string() +
                                 "/www/index.htm, or remove it from kestrom.ini\n"))
        << result.output;
    EXPECT_NE(std::string::npos,
              result.output.find("a controller will not boot from this PC until the failures are "
                                 "fixed: 3 failed, 0 warnings\n"))
        << result.output;
}

}  // namespace
