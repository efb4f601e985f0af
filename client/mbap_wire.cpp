// Modbus/TCP framing, over TCP and in UDP datagrams: the wire frame is the
// MBAP frame itself, and a reply ends where its header's length says.
#include "client/reply.h"
#include "client/transport.h"

namespace velkomb::client {

namespace {

class Mbap final : public Framing {
public:
    std::vector<uint8_t> WireOf(std::span<const uint8_t> request) const override
    {
        return {request.begin(), request.end()};
    }
    WireFrame Next(std::span<const uint8_t> stream, std::span<const uint8_t>, bool) const override
    {
        const Frame frame = FrameAt(stream);
        switch (frame.state) {
        case FrameState::Complete: return {WireFrame::State::Complete, frame.length};
        case FrameState::Impossible: return {WireFrame::State::Impossible, 0};
        default: return {WireFrame::State::Incomplete, frame.length};
        }
    }
    std::vector<uint8_t> ReplyOf(std::span<const uint8_t> frame, std::span<const uint8_t>) const override
    {
        return {frame.begin(), frame.end()};
    }
};

} // namespace

const Framing& MbapFraming()
{
    static const Mbap framing;
    return framing;
}

} // namespace velkomb::client
