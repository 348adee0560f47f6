// A stand-alone TFTP service for tests and the benchmark: serves the given directory on the given
// port with the event log on standard output, until SIGTERM or SIGINT.
//   kestrom_tftp_test_server PORT DIRECTORY
// The directory becomes the current one, so log lines name "./zorva.bin" as the tool's do. The
// bound port is written to standard error as "port N".
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>

#include "core/event_log.h"
#include "platform/process.h"
#include "tftp/tftp_service.h"

namespace {

class LineBufferedSink : public core::LogSink {
public:
    void write(std::string_view text) override { std::fwrite(text.data(), 1, text.size(), stdout); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORT DIRECTORY\n", argv[0]);
        return 2;
    }
    std::error_code ec;
    std::filesystem::current_path(argv[2], ec);
    if (ec) {
        std::fprintf(stderr, "%s: %s\n", argv[2], ec.message().c_str());
        return 2;
    }
    platform::EndRequest end;  // before the service's threads start

    // Line-buffered, as on a terminal: progress marks wait for the next line end.
    std::setvbuf(stdout, nullptr, _IOLBF, 1 << 16);
    core::set_log_sink(std::make_shared<LineBufferedSink>());
    tftp::TftpService service({static_cast<std::uint16_t>(std::atoi(argv[1])), "./"});
    const std::uint16_t port = service.port();
    if (port == 0) return 1;
    std::fprintf(stderr, "port %u\n", static_cast<unsigned>(port));
    end.wait();
    service.stop();
    std::fflush(stdout);
    return 0;
}
