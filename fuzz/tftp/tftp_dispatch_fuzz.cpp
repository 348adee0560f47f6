// Feeds datagram sequences from several client addresses into the TFTP transfer table, with a
// clock that moves on between datagrams so retransmissions and time-outs run too.
//
// Input: one byte choosing the home directory's state (zorva.bin absent, or present with one of
// a few sizes), then records of
//   [client: 1 byte][seconds to advance: 1 byte][length: 2 bytes, big-endian][datagram]
// The datagram is cut to what the input holds.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "tftp/transfer_table.h"

namespace {

class NullSender : public tftp::PacketSender {
public:
    int send_to(std::span<const std::uint8_t> bytes, const platform::Endpoint&) override {
        // Touch every byte, so reads past the end of a prepared packet show up under ASan.
        unsigned sum = 0;
        for (const auto b : bytes) sum += b;
        sink_ = sum;
        return static_cast<int>(bytes.size());
    }

private:
    volatile unsigned sink_ = 0;
};

// The run's private home directory, removed when the run ends normally.
std::string g_home;

void remove_home() {
    std::error_code ec;
    std::filesystem::remove_all(g_home, ec);
}

const std::filesystem::path& home() {
    static const std::filesystem::path dir = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kestrom-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        g_home = pattern;
        std::atexit(remove_home);
        return std::filesystem::path(pattern);
    }();
    return dir;
}

void prepare_file(std::uint8_t choice) {
    static const std::size_t sizes[] = {0, 1, 511, 512, 513, 1428, 4096, 9000};
    const auto file = home() / "zorva.bin";
    std::error_code ec;
    std::filesystem::remove(file, ec);
    if (choice & 0x80) return;  // absent: reads fail, writes create it
    if (std::FILE* f = std::fopen(file.c_str(), "wb")) {
        const std::size_t size = sizes[choice % std::size(sizes)];
        for (std::size_t i = 0; i < size; ++i) std::fputc(static_cast<int>(i * 7), f);
        std::fclose(f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    prepare_file(data[0]);
    tftp::TftpServerConfig config;
    config.homeDirectory.fill('\0');
    const std::string dir = home().string() + "/";
    dir.copy(config.homeDirectory.data(), config.homeDirectory.size() - 1);

    NullSender sender;
    // Room for three transfers among the four clients, so a full table gives places up too.
    tftp::TransferTable table(config, 3);
    static const platform::Endpoint clients[] = {
        {0x7f000001, 40000}, {0x7f000001, 40001}, {0x0a000002, 40000}, {0xc0a80164, 69}};
    std::int64_t now = 1000;
    std::size_t pos = 1;
    while (pos + 4 <= size) {
        const platform::Endpoint& from = clients[data[pos] % std::size(clients)];
        now += data[pos + 1] % 8;
        std::size_t length = static_cast<std::size_t>(data[pos + 2] << 8 | data[pos + 3]);
        pos += 4;
        length = std::min(length, size - pos);
        table.dispatch(sender, from, std::span(data + pos, length), now);
        table.expire(sender, now);
        pos += length;
    }
    // Let everything time out, so every removal path runs.
    for (int i = 0; i < 6; ++i) table.expire(sender, now += 60);
    return 0;
}
