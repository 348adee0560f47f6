// The firmware dialogue over bytes from the controller, in chunks the input chooses. The input is
// a run of records: one header byte, then as many bytes as its low six bits give (fewer at the
// end of the input); bit 6 makes the exchange run into its limit, bit 7 ends the exchange after
// this chunk (a quiet second). The dialogue runs twice, once with every byte kept and once through
// an exchange buffer with a tiny bound, and both runs must log the same and send the same.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/event_log.h"
#include "update/dialogue.h"
#include "update/exchange_buffer.h"

namespace {

// Inputs up to this size keep every version text within the bytes kept behind "Rev ".
constexpr std::size_t kInputMax = update::kVersionKeep;
constexpr std::size_t kTinyBound = 24;

class ScriptedLink : public update::DialogueLink {
public:
    ScriptedLink(std::span<const std::uint8_t> input, bool bounded)
        : input_(input), bounded_(bounded), buffer_(update::dialogue_watched_texts(), kTinyBound) {}

    bool exchange(std::string_view command, std::string& response, bool appendCR) override {
        sent_.append(command);
        if (appendCR && !command.empty()) sent_.push_back('\r');
        bool in_time = true;
        while (pos_ < input_.size()) {
            const std::uint8_t header = input_[pos_++];
            const std::size_t length = std::min<std::size_t>(header & 0x3f, input_.size() - pos_);
            const auto chunk = input_.subspan(pos_, length);
            pos_ += length;
            if (bounded_) {
                buffer_.add(chunk);
                if (buffer_.held() > buffer_.held_max()) std::abort();
            } else {
                whole_.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
            }
            if (header & 0x40) in_time = false;
            if (header & 0x80) break;
        }
        if (bounded_) {
            buffer_.take(response);
        } else {
            response.append(whole_);
            whole_.clear();
        }
        return in_time;
    }
    void pause(std::chrono::milliseconds) override {}

    const std::string& sent() const { return sent_; }

private:
    std::span<const std::uint8_t> input_;
    std::size_t pos_ = 0;
    bool bounded_;
    update::ExchangeBuffer buffer_;
    std::string whole_;
    std::string sent_;
};

struct Outcome {
    bool done = false;
    std::string log;
    std::string sent;
};

Outcome run(std::span<const std::uint8_t> input, bool bounded,
            const std::shared_ptr<core::CaptureLogSink>& log) {
    log->clear();
    ScriptedLink link(input, bounded);
    Outcome o;
    o.done = update::run_dialogue(link, "admin", "7305");
    o.log = log->text();
    o.sent = link.sent();
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kInputMax) return 0;
    static const auto log = [] {
        auto sink = std::make_shared<core::CaptureLogSink>();
        core::set_log_sink(sink);
        return sink;
    }();
    const std::span<const std::uint8_t> input(data, size);
    const Outcome whole = run(input, false, log);
    const Outcome kept = run(input, true, log);
    if (whole.done != kept.done || whole.log != kept.log || whole.sent != kept.sent) std::abort();
    return 0;
}
