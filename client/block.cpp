// The request Execute sends, and blocks: with MaxPerRequest, a read or write
// of more items than one request may carry goes as consecutive requests
// (parts), one after the other on the connection. Every part is built before
// the first goes out, so a bad setting or value raises with nothing sent;
// each next part goes out when the reply to the one before has been decoded.
// The read array changes only when the whole block has been read.
#include <algorithm>
#include "automation/numeric.h"
#include "automation/safearray.h"
#include "automation/variant.h"
#include "client/framing.h"
#include "client/velkomb.h"

namespace velkomb::client {

namespace {

// The values of the write array, as the request builder reads them, from
// element `first` on.
class ArrayValues final : public WriteValues {
public:
    explicit ArrayValues(const VARIANT& array, long first = 0) : array_(array), first_(first) {}
    double value(long index) const override
    {
        return automation::NumberOfVariant(*automation::ElementOf(array_, first_ + index).get());
    }

private:
    const VARIANT& array_;
    long first_;
};

constexpr long kMostItems = 65535;
constexpr long kBitsPerCoilByte = 8;

bool IsRead(uint8_t functionCode) { return functionCode >= 1 && functionCode <= 4; }
bool IsCoilRead(uint8_t functionCode) { return functionCode <= 2; }
bool IsBlockWrite(uint8_t functionCode) { return functionCode == 15 || functionCode == 16; }

// A count of items: 13 when it is no number, 6 outside 0 to 65535.
long ItemCountOf(const std::wstring& text)
{
    const long count = automation::Int32OfText(text);
    if (count < 0 || count > kMostItems) automation::RaiseRuntime(automation::errOverflow);
    return count;
}

// The items a single request reads or writes, for BlockDone once it is
// answered; its fields have been converted already.
long ItemsOf(uint8_t functionCode, const RequestFields& fields)
{
    if (functionCode == 5 || functionCode == 6) return 1;
    return automation::Int32OfText(IsBlockWrite(functionCode) ? fields.nrWRegisters : fields.nrRegisters);
}

} // namespace

std::vector<uint8_t> VelkoMB::PlanRequest()
{
    const RequestFields fields{mbFunCode_, startAddress_, nrRegisters_, startWAddress_, nrWRegisters_, unitId_};
    const ArrayValues values(*arwWReg_.get());
    blockDone_ = 0;
    block_ = PlanBlock(fields);
    if (block_) return block_->parts[block_->next++];
    std::vector<uint8_t> request = BuildRequest(fields, values);
    if (!request.empty()) requestItems_ = ItemsOf(FunctionCodeOf(fields.funCode), fields);
    return request;
}

// The parts of a block, or none when the request goes as one: MaxPerRequest
// "0", a function code that is never split, or no more items than one part
// takes.
std::optional<VelkoMB::Block> VelkoMB::PlanBlock(const RequestFields& fields)
{
    const long most = ItemCountOf(maxPerRequest_);
    if (most == 0) return std::nullopt;
    const uint8_t functionCode = FunctionCodeOf(fields.funCode);
    const bool read = IsRead(functionCode);
    if (!read && !IsBlockWrite(functionCode)) return std::nullopt;
    const long total = ItemCountOf(read ? fields.nrRegisters : fields.nrWRegisters);
    if (total <= most) return std::nullopt;

    const long start = automation::Int32OfText(read ? fields.startAddress : fields.startWAddress);
    Block block;
    block.functionCode = functionCode;
    block.total = total;
    block.values.resize(1);
    for (long first = 0; first < total; first += most) {
        const long count = std::min(most, total - first);
        RequestFields part = fields;
        (read ? part.startAddress : part.startWAddress) = automation::DecimalText(start + first);
        (read ? part.nrRegisters : part.nrWRegisters) = automation::DecimalText(count);
        block.parts.push_back(BuildRequest(part, ArrayValues(*arwWReg_.get(), first)));
        block.counts.push_back(count);
    }
    return block;
}

// A part's reply: its items are kept and the next part goes out, or the
// block ends with it (the last part, or an exception reply).
void VelkoMB::AnswerBlockPart(const std::vector<uint8_t>& reply)
{
    Block& block = *block_;
    const DecodedReply decoded = DecodeReply(reply);
    // A reply without the items of a read (another function's, taken under
    // fixed ids) ends the block as an exception reply does.
    if (!decoded.complete || decoded.exceptionCode != 0 || (IsRead(block.functionCode) && !decoded.hasRegisters)) {
        EndBlock(decoded);
        return;
    }
    const bool last = block.next == block.parts.size();
    const long count = block.counts[block.next - 1];
    if (IsRead(block.functionCode)) {
        // A coil reply's padding bits after the last part's items are those
        // a single reply would have.
        const size_t items = last ? decoded.values.size() - 1 : static_cast<size_t>(count);
        for (size_t i = 1; i <= items; ++i)
            block.values.push_back(i < decoded.values.size() ? decoded.values[i] : std::nullopt);
    }
    block.done += count;
    if (last) {
        EndBlock(decoded);
        return;
    }
    try {
        StartNextPart();
    } catch (...) {
        EndInTimeOut();  // the part could not be sent: the block ends there
    }
}

// The block ends by its last reply or an exception reply: ErrCode and
// ExceptCode are the last part's, the read array is the whole block's only
// when every part was read, and NewDataIn is raised once (not for a reply
// that ended before its decoding did).
void VelkoMB::EndBlock(const DecodedReply& last)
{
    Block block = std::move(*block_);
    block_.reset();
    blockDone_ = block.done;
    readyForRequest_ = true;
    watchdogError_ = L"0";
    if (last.hasCodes) {
        exceptCode_ = automation::DecimalText(last.exceptionCode);
        errCode_ = automation::DecimalText(last.functionCode);
    }
    if (block.done == block.total && IsRead(block.functionCode)) {
        const size_t items = IsCoilRead(block.functionCode)
                                 ? static_cast<size_t>(kBitsPerCoilByte * ((block.total + kBitsPerCoilByte - 1) / kBitsPerCoilByte))
                                 : static_cast<size_t>(block.total);
        if (block.values.size() < static_cast<size_t>(block.total) + 1) block.values.resize(block.total + 1);
        block.values.resize(items + 1, 0);
        StoreRegisters(block.values);
    }
    if (last.complete) events().Raise(DISPID_NewDataIn);
}

} // namespace velkomb::client
