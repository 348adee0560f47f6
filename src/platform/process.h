// What the process may do and who else holds its ports, for the pre-flight check; and the wait
// for the user's request to end (Ctrl-C, SIGTERM; on Windows also Ctrl-Break and closing the
// console window).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// One process that holds a port. pid 0: a socket whose process this user can't see; `name`
// then says what is known of it.
struct PortHolder {
    long pid = 0;
    std::string name;
};

// The processes that hold a UDP socket on `port` (any local address); empty when it is free.
// A socket this process bound is told with current_process_id() on both systems, also where
// the system's own table names no owner (Wine's reads PID 0).
std::vector<PortHolder> udp_port_holders(std::uint16_t port);

// This process's id, as udp_port_holders tells it.
long current_process_id();

// Whether this process may bind UDP ports below 1024, and, when it may not, how to allow it
// (a command line for the user).
struct BindPermission {
    bool allowed = false;
    std::string fix;
};
BindPermission may_bind_privileged_ports();

// How to let the process tie a socket to one interface, when bind_to_device was refused.
std::string tie_permission_fix();

// How many processors the process may run on (on Linux: its main thread, which no one pins).
unsigned usable_processors();
// Keeps the calling thread on the usable processors whose number modulo `groups` is `group`
// (Linux), wherever it ran before; false when there is none or the platform can't (Windows),
// and the thread stays where it was.
bool keep_thread_on_processor_group(unsigned group, unsigned groups);

// Waits for the user's request to end the process. Make it before any other thread starts:
// on Linux the end signals are blocked here, and every thread started later inherits that.
class EndRequest {
public:
    EndRequest();
    ~EndRequest();
    EndRequest(const EndRequest&) = delete;
    EndRequest& operator=(const EndRequest&) = delete;
    // Blocks until the request comes.
    void wait();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform
