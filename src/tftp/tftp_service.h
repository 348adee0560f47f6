// The TFTP service: serves, or accepts, the one file "zorva.bin" in its home directory, whatever
// name a client asks for, with the blksize, tsize, interval and windowsize options. One transfer
// table (transfer_table.h) serves every client. On Linux with more than one processor the port
// is served by one socket and one loop thread per processor group (socket_group.h), each
// datagram going to the socket of the processor that handled it, so a client is answered from
// where it runs and a lock-step exchange doesn't cross processors; the loops take turns with the
// table, and each sends its replies in batches (batch_sender.h). Elsewhere one thread and one
// socket do it all.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tftp {

struct TftpServiceOptions {
    std::uint16_t port = 69;       // 0 picks a free port (tests)
    std::string directory = "./";  // the home directory, with its trailing separator
};

// Owns the service thread: constructing starts it, destruction (or stop) ends it. Start-up
// writes "Ready...\n" or its failure to the event log; a failed start leaves no thread running.
class TftpService {
public:
    explicit TftpService(TftpServiceOptions options = {});
    ~TftpService();
    TftpService(const TftpService&) = delete;
    TftpService& operator=(const TftpService&) = delete;
    void stop();

    // Waits for the end of start-up; the bound UDP port, or 0 when start-up failed.
    std::uint16_t port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tftp
