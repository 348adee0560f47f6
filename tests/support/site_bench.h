// A site on one machine for tests of kestrom load: the PC's namespace holds a bridge
// (10.1.2.10/24) and the PC's folder (a 3 MB zorva.bin whose first line names version 3.4, and a
// hive whose pool, 10.1.2.100 to 10.1.2.140, lies beside the controllers); each controller
// (10.1.2.20 and up) has a namespace of its own, cabled to the bridge by a veth pair whose end
// has its own hardware address, and runs kestrom-sim --boot on it.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "linux_support.h"
#include "temp_hive.h"

namespace test {

// "10.1.2.20" for the first controller.
std::string controller_address(std::size_t i);

class SiteBench {
public:
    // `sim_options` go to every controller's kestrom-sim.
    SiteBench(std::size_t count, const std::string& sim_options);

    bool ok() const { return ok_; }  // everything was made and every simulator listens
    const TempDir& dir() const { return dir_; }
    const NetNs& pc() const { return pc_; }
    // The hardware address of controller i's interface, "52:54:00:12:34:56".
    const std::string& hardware(std::size_t i) const { return hardware_[i]; }
    std::string sims_output() const;

    // "kestrom ARGS" in the PC's namespace and folder, to its end, output and errors together.
    CommandResult kestrom(const std::string& args) const;
    // The same as a command line for a ChildProcess, to run from the PC's folder.
    std::string command(const std::string& args) const;

    // The records of one event in the PC folder's report.jsonl.
    std::vector<nlohmann::json> records(const std::string& event) const;

private:
    TempHive hive_;
    TempDir dir_;
    NetNs pc_;
    std::vector<std::unique_ptr<NetNs>> controllers_;
    std::vector<std::unique_ptr<ChildProcess>> sims_;
    std::vector<std::string> hardware_;
    bool ok_ = false;
};

}  // namespace test
