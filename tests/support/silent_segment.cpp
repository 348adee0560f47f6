#include "silent_segment.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <thread>

namespace test {

SilentSegment::SilentSegment() {
    std::string pc_if;
    ready_ = connect_veth(pc_, std::string(kPcAddress) + "/24", far_, "", &pc_if) &&
             pc_.run("ip neigh replace " + std::string(kSilentAddress) +
                     " lladdr 02:00:00:00:00:99 dev " + pc_if + " nud permanent")
                     .status == 0;
}

bool SilentSegment::run_inside(const std::function<void()>& body) const {
    if (!ready_) return false;
    bool joined = false;
    std::thread inside([&] {
        // A network namespace is a property of the thread: only this one moves.
        const int ns = ::open(("/var/run/netns/" + pc_.name()).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0) return;
        joined = ::setns(ns, CLONE_NEWNET) == 0;
        ::close(ns);
        if (joined) body();
    });
    inside.join();
    return joined;
}

}  // namespace test
