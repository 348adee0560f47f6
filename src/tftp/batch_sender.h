// Holds the packets that the steps send while one batch of datagrams is handled, and sends them
// together, in the order they were made, with as few calls as the platform allows. Each packet
// is copied, because a later step of the same batch may refill the area it came from. It holds
// a whole window or more, so with several loops nothing is sent while a loop holds the table
// (a send wakes a client, which may take the processor from the loop). A held packet counts
// as sent: on an unconnected UDP socket a send fails only for local reasons that a
// retransmission covers too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/net.h"
#include "platform/socket.h"
#include "tftp/tftp_transfer.h"

namespace tftp {

class BatchSender : public PacketSender {
public:
    // Room for two of the largest windows with their headers (the most blocks are of 512).
    static constexpr std::size_t kWindowBlocks = kWindowBytes / kDefaultBlockSize;
    static constexpr std::size_t kBytes = 2 * (kWindowBytes + kWindowBlocks * kHeaderSize);
    static constexpr std::size_t kPackets = 2 * kWindowBlocks;

    explicit BatchSender(const platform::UdpSocket& socket);

    int send_to(std::span<const std::uint8_t> bytes, const platform::Endpoint& to) override;

    // Bytes held: a loop sends them once past a window's worth, not only at the batch's end.
    std::size_t held_bytes() const { return used_; }

    // Sends what is held; true when a send call failed, which may mean error reports are queued.
    bool flush();

private:
    const platform::UdpSocket& socket_;
    std::vector<std::uint8_t> bytes_;
    std::vector<platform::SendSlot> slots_;
    std::size_t count_ = 0;
    std::size_t used_ = 0;
};

}  // namespace tftp
