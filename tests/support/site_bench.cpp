#include "site_bench.h"

#include <random>
#include <sstream>

namespace test {
namespace {

using namespace std::chrono_literals;

std::string first_line(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

}  // namespace

std::string controller_address(std::size_t i) {
    return "10.1.2." + std::to_string(20 + i);
}

SiteBench::SiteBench(std::size_t count, const std::string& sim_options) : pc_("pc") {
    std::mt19937_64 rng(20261208);
    std::string image = "kestrom-sim firmware 3.4\n";
    while (image.size() < 3 * 1024 * 1024) image += static_cast<char>(rng());
    dir_.write("zorva.bin", image);
    ok_ = true;
    for (const char* command :
         {"ip link add br0 type bridge", "ip addr add 10.1.2.10/24 dev br0", "ip link set br0 up"})
        ok_ = ok_ && pc_.run(command).status == 0;
    for (std::size_t i = 0; ok_ && i < count; ++i) {
        controllers_.push_back(std::make_unique<NetNs>("ctl"));
        std::string pc_end, controller_end;
        ok_ = connect_veth(pc_, "", *controllers_.back(), controller_address(i) + "/24", &pc_end,
                           &controller_end) &&
              pc_.run("ip link set " + pc_end + " master br0").status == 0;
        hardware_.push_back(first_line(
            controllers_.back()->run("cat /sys/class/net/" + controller_end + "/address").output));
        sims_.push_back(std::make_unique<ChildProcess>(
            controllers_.back()->exec() + (build_dir() / "kestrom-sim").string() + " --address " +
            controller_address(i) + " --boot " + controller_end + " " + sim_options));
    }
    for (const auto& sim : sims_) ok_ = ok_ && sim->wait_for_output("kestrom-sim: http on", 10s);
    // The pool beside the controllers, large enough for all of them at once.
    for (const char* setting :
         {"ZorvaIPStartAddress 10.1.2.100", "PoolSize 40", "ZorvaIPAddress 10.1.2.20"})
        ok_ = ok_ && kestrom("config set " + std::string(setting)).status == 0;
}

std::string SiteBench::sims_output() const {
    std::string all;
    for (const auto& sim : sims_) all += sim->output();
    return all;
}

CommandResult SiteBench::kestrom(const std::string& args) const {
    return run_command("cd " + dir_.path().string() + " && " + command(args) + " 2>&1");
}

std::string SiteBench::command(const std::string& args) const {
    return pc_.exec() + (build_dir() / "kestrom").string() + " " + args;
}

std::vector<nlohmann::json> SiteBench::records(const std::string& event) const {
    std::vector<nlohmann::json> found;
    std::istringstream lines(read_file(dir_ / "report.jsonl"));
    for (std::string line; std::getline(lines, line);) {
        const auto record = nlohmann::json::parse(line, nullptr, false);
        if (!record.is_discarded() && record.value("event", "") == event) found.push_back(record);
    }
    return found;
}

}  // namespace test
