#include "tftp/batch_sender.h"

#include <algorithm>

namespace tftp {

BatchSender::BatchSender(const platform::UdpSocket& socket)
    : socket_(socket), bytes_(kBytes), slots_(kPackets) {}

int BatchSender::send_to(std::span<const std::uint8_t> bytes, const platform::Endpoint& to) {
    if (bytes.size() > PacketArea{}.size()) {  // never made by the steps; sent as it is
        flush();
        return socket_.send_to(bytes, to);
    }
    if (count_ == slots_.size() || used_ + bytes.size() > bytes_.size()) flush();
    std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(used_));
    slots_[count_] = {std::span<const std::uint8_t>(bytes_.data() + used_, bytes.size()), to};
    used_ += bytes.size();
    ++count_;
    return static_cast<int>(bytes.size());
}

bool BatchSender::flush() {
    if (count_ == 0) return false;
    int error = 0;
    (void)socket_.send_many(std::span(slots_.data(), count_), &error);
    count_ = 0;
    used_ = 0;
    return error != 0;
}

}  // namespace tftp
