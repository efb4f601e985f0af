// Request framing from arbitrary setting texts and write arrays: a request is
// built with a length field that matches it, or the building fails with one
// of the automation errors a host may see (overflow, subscript, mismatch).
#include <fuzzer/FuzzedDataProvider.h>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>
#include "automation/error.h"
#include "client/framing.h"

using velkomb::client::BuildRequest;
using velkomb::client::RequestFields;

namespace {

void Require(bool condition)
{
    if (!condition) std::abort();
}

// The host's write array: numbers, or elements that hold no number.
class FuzzedValues final : public velkomb::client::WriteValues {
public:
    explicit FuzzedValues(std::vector<std::optional<double>> items) : items_(std::move(items)) {}
    double value(long index) const override
    {
        if (index < 0 || static_cast<size_t>(index) >= items_.size())
            automation::RaiseRuntime(automation::errSubscriptOutOfRange);
        if (!items_[index]) automation::RaiseRuntime(automation::errTypeMismatch);
        return *items_[index];
    }

private:
    std::vector<std::optional<double>> items_;
};

// Mostly short numeric texts, so that requests get built; sometimes anything.
std::wstring SettingText(FuzzedDataProvider& input)
{
    static const wchar_t* const common[] = {L"1", L"2", L"3", L"4", L"5", L"6", L"15", L"16", L"23",
                                            L"0", L"-1", L"255", L"256", L"65535", L"65536", L"2.5", L""};
    if (input.ConsumeBool()) return common[input.ConsumeIntegralInRange<size_t>(0, std::size(common) - 1)];
    const std::string text = input.ConsumeRandomLengthString(24);
    return std::wstring(text.begin(), text.end());
}

std::optional<double> Element(FuzzedDataProvider& input)
{
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0: return std::nullopt;
    case 1: return input.ConsumeFloatingPoint<double>();
    case 2: return input.ConsumeIntegralInRange<int32_t>(-70000, 70000) / 2.0;
    default: return input.ConsumeIntegralInRange<int32_t>(0, 65535);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    RequestFields fields;
    for (std::wstring* text : {&fields.funCode, &fields.startAddress, &fields.nrRegisters, &fields.startWAddress,
                               &fields.nrWRegisters})
        *text = SettingText(input);
    std::vector<std::optional<double>> items(input.ConsumeIntegralInRange<size_t>(0, 300));
    for (auto& item : items) item = Element(input);
    try {
        const std::vector<uint8_t> request = BuildRequest(fields, FuzzedValues(std::move(items)));
        if (request.empty()) return 0;
        Require(request.size() >= 12 && request.size() - 6 == request[5]);
        Require(velkomb::client::IsSupported(request[7]));
    } catch (const automation::AutomationError& error) {
        Require(error.number == automation::errOverflow || error.number == automation::errSubscriptOutOfRange ||
                error.number == automation::errTypeMismatch);
    }
    return 0;
}
