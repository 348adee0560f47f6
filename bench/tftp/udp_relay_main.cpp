// The loss relay of the tests (tests/support/udp_relay.h) as a program, for the benchmark's loss
// cases: listens on 127.0.0.1:LISTEN and relays to 127.0.0.1:SERVER until SIGTERM or SIGINT.
//   udp_relay LISTEN SERVER DROP REORDER SEED
// DROP and REORDER are fractions (0.01 = 1 %). Prints the seed at start and the counts at the end
// on standard error, so a run can be replayed.
#include <cstdio>
#include <cstdlib>

#include "platform/process.h"
#include "udp_relay.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s LISTEN SERVER DROP REORDER SEED\n", argv[0]);
        return 2;
    }
    platform::EndRequest end;  // before the relay's thread starts

    test::RelayOptions options;
    options.listen_port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    options.server_port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    options.drop = std::atof(argv[3]);
    options.reorder = std::atof(argv[4]);
    options.seed = std::strtoull(argv[5], nullptr, 10);
    test::UdpRelay relay(options);
    if (!relay.ok()) {
        std::fprintf(stderr, "cannot listen on port %s\n", argv[1]);
        return 1;
    }
    std::fprintf(stderr, "relay port %u seed %llu\n", static_cast<unsigned>(relay.port()),
                 static_cast<unsigned long long>(relay.seed()));
    end.wait();
    const test::RelayCounts c = relay.counts();
    std::fprintf(
        stderr,
        "seed %llu: %llu to server, %llu to clients, %llu dropped, %llu reordered, "
        "%llu held alone, %llu clients\n",
        static_cast<unsigned long long>(relay.seed()), static_cast<unsigned long long>(c.to_server),
        static_cast<unsigned long long>(c.to_client), static_cast<unsigned long long>(c.dropped),
        static_cast<unsigned long long>(c.reordered), static_cast<unsigned long long>(c.held_alone),
        static_cast<unsigned long long>(c.clients));
    return 0;
}
