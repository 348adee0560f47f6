// A segment on which one address answers nothing: the PC's namespace holds 192.168.1.10/24 on a
// veth, and a fixed neighbour entry sends every packet for the silent address to a hardware
// address nobody has, so connects to it see no answer at all (no refusal, no ICMP) until they
// give up. Code under test reaches it only from a thread that has joined the PC's namespace.
#pragma once

#include <functional>
#include <string>

#include "test_support.h"

namespace test {

class SilentSegment {
public:
    static constexpr const char* kPcAddress = "192.168.1.10";
    static constexpr const char* kSilentAddress = "192.168.1.50";

    SilentSegment();
    bool ready() const { return ready_; }
    // "ip netns exec <the PC's namespace> " for prefixing commands.
    std::string exec() const { return pc_.exec(); }

    // Runs `body` on a thread of its own that has joined the PC's namespace, and waits for it.
    // False, without running `body`, when the thread could not join.
    bool run_inside(const std::function<void()>& body) const;

private:
    NetNs pc_{"silpc"};
    NetNs far_{"silfar"};
    bool ready_ = false;
};

}  // namespace test
