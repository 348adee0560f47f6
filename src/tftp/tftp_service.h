// The TFTP service: serves, or accepts, the one file "zorva.bin" in its home directory, whatever
// name a client asks for, with the blksize, tsize and interval options.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tftp {

struct TftpServiceOptions {
    std::uint16_t port = 69;
    std::string directory = "./";  // the home directory, with its trailing separator
};

// Owns the service thread: constructing starts it, destruction (or stop) ends it.
class TftpService {
public:
    explicit TftpService(TftpServiceOptions options = {});
    ~TftpService();
    TftpService(const TftpService&) = delete;
    TftpService& operator=(const TftpService&) = delete;
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tftp
