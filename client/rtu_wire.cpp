// RTU framing, over a serial line and passed through TCP unchanged: unit id,
// PDU and CRC, no header. A reply ends where its function code's layout
// says; only one of no known layout ends at the line's silence.
#include <algorithm>
#include "client/rtu.h"
#include "client/transport.h"

namespace velkomb::client {

namespace {

constexpr size_t kUnitIndex = 6;  // in an MBAP frame; the PDU follows

std::span<const uint8_t> PduOf(std::span<const uint8_t> request)
{
    return request.size() > kUnitIndex + 1 ? request.subspan(kUnitIndex + 1) : std::span<const uint8_t>{};
}

WireFrame Checked(std::span<const uint8_t> stream, size_t length)
{
    const bool good = rtu::CrcIsGood(stream.first(length));
    return {good ? WireFrame::State::Complete : WireFrame::State::Corrupt, length};
}

class Rtu final : public Framing {
public:
    std::vector<uint8_t> WireOf(std::span<const uint8_t> request) const override
    {
        return rtu::Frame(request[kUnitIndex], PduOf(request));
    }
    WireFrame Next(std::span<const uint8_t> stream, std::span<const uint8_t> request, bool silent) const override
    {
        const rtu::Extent extent = rtu::ReplyExtent(stream, PduOf(request));
        switch (extent.state) {
        case rtu::ExtentState::Complete: return Checked(stream, extent.length);
        case rtu::ExtentState::Impossible: return {WireFrame::State::Impossible, 0};
        case rtu::ExtentState::NoLayout:
            if (!silent) return {WireFrame::State::Silent, 0};
            if (stream.size() < 4) return {WireFrame::State::Corrupt, stream.size()};
            return Checked(stream, stream.size());
        default: return {WireFrame::State::Incomplete, extent.length};
        }
    }
    // The MBAP frame the reply would be: the request's transaction and
    // protocol ids, the length, the unit id and the PDU without the CRC.
    std::vector<uint8_t> ReplyOf(std::span<const uint8_t> frame, std::span<const uint8_t> request) const override
    {
        const size_t counted = frame.size() - rtu::kCrcSize;  // unit id and PDU
        std::vector<uint8_t> reply(kUnitIndex + counted);
        if (request.size() > 1) std::copy_n(request.begin(), 2, reply.begin());
        reply[4] = static_cast<uint8_t>(counted >> 8);
        reply[5] = static_cast<uint8_t>(counted & 0xFF);
        std::copy_n(frame.begin(), counted, reply.begin() + kUnitIndex);
        return reply;
    }
};

} // namespace

const Framing& RtuFraming()
{
    static const Rtu framing;
    return framing;
}

} // namespace velkomb::client
