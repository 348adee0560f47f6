#include "silent_segment.h"

namespace test {

SilentSegment::SilentSegment() {
    std::string pc_if;
    ready_ = connect_veth(pc_, std::string(kPcAddress) + "/24", far_, "", &pc_if) &&
             pc_.run("ip neigh replace " + std::string(kSilentAddress) +
                     " lladdr 02:00:00:00:00:99 dev " + pc_if + " nud permanent")
                     .status == 0;
}

bool SilentSegment::run_inside(const std::function<void()>& body) const {
    return ready_ && pc_.run_inside(body);
}

}  // namespace test
