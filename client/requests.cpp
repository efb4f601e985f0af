// The client's members beyond its type library that send requests of their
// own: any function code with the bytes the host gives, mask write and
// device identification. Each is one transaction as Execute makes it (the
// same checks, ids, retries and reconnection) whose reply is kept as bytes,
// so arwReg stays as it was.
#include <algorithm>
#include <map>
#include "automation/narrow.h"
#include "automation/numeric.h"
#include "automation/safearray.h"
#include "client/device_id.h"
#include "client/framing.h"
#include "client/velkomb.h"

namespace velkomb::client {

namespace {

using automation::RaiseRuntime;

constexpr uint8_t kLastFunctionCode = 127;
// The PDU of one request part; the objects a device names beyond these get
// their places too.
constexpr size_t kNamedObjects = 7;
// Every object id once: a device that never stops answering "more follows"
// ends there.
constexpr int kMostDeviceIdParts = 256;

// A number of a variant as a byte: 13 when it is no number, 6 outside 0 to
// 255.
uint8_t ByteOf(const VARIANT& value) { return automation::ByteOfNumber(automation::NumberOfVariant(value)); }

// The data bytes of a Request: none when left out or Empty, the bytes of a
// byte array, or an array of numbers 0 to 255 (13 and 6 as for any field).
std::vector<uint8_t> DataBytesOf(const VARIANT* data)
{
    if (automation::IsMissing(data) || V_VT(&automation::Deref(*data)) == VT_EMPTY) return {};
    long lower = 0, upper = -1;
    if (!automation::BoundsOf(*data, lower, upper)) RaiseRuntime(automation::errTypeMismatch);
    if (upper - lower + 1 > static_cast<long>(kMaxPdu - 1)) RaiseRuntime(automation::errOverflow);
    std::vector<uint8_t> bytes;
    for (long i = lower; i <= upper; ++i) bytes.push_back(ByteOf(*automation::ElementOf(*data, i).get()));
    return bytes;
}

std::vector<uint8_t> PduOf(const VARIANT& functionCode, const VARIANT* data)
{
    const uint8_t code = ByteOf(functionCode);
    if (code == 0 || code > kLastFunctionCode) RaiseRuntime(automation::errOverflow);
    std::vector<uint8_t> pdu = {code};
    const std::vector<uint8_t> bytes = DataBytesOf(data);
    pdu.insert(pdu.end(), bytes.begin(), bytes.end());
    return pdu;
}

// The texts of the objects by id, from 0 to the highest id there is (at
// least the named ones); Empty where the device sent none.
automation::Variant ObjectTexts(const std::map<uint8_t, std::string>& objects)
{
    const long upper = std::max<long>(kNamedObjects - 1, objects.empty() ? 0 : objects.rbegin()->first);
    automation::Variant texts = automation::VariantArray(upper);
    for (const auto& [id, value] : objects) {
        automation::Variant text;
        V_VT(text.get()) = VT_BSTR;
        V_BSTR(text.get()) = automation::AllocBstr(automation::WideOf(value));
        if (!V_BSTR(text.get())) RaiseRuntime(automation::errOutOfMemory);
        automation::PutElement(*texts.get(), id, *text.get());
    }
    return texts;
}

} // namespace

std::optional<std::vector<uint8_t>> VelkoMB::RequestReply(const wchar_t* source, const RequestBuilder& build)
{
    if (Transact(source, ReplyUse::Bytes, build) != Outcome::Answered) return std::nullopt;
    return replyData_;
}

HRESULT VelkoMB::Request(VARIANT* functionCode, VARIANT* data, VARIANT* result)
{
    if (!functionCode || !result) return E_POINTER;
    const wchar_t* source = L"VelkoMB.Request";
    return Call(source, [&] {
        const auto reply = RequestReply(source, [&] { return FrameRequest(unitId_, PduOf(*functionCode, data)); });
        if (reply) automation::ByteArrayVariant(*reply).detachTo(result);
    });
}

HRESULT VelkoMB::MaskWrite(VARIANT* address, VARIANT* andMask, VARIANT* orMask)
{
    if (!address || !andMask || !orMask) return E_POINTER;
    const wchar_t* source = L"VelkoMB.MaskWrite";
    return Call(source, [&] {
        RequestReply(source, [&] {
            using automation::NumberOfVariant;
            return FrameRequest(unitId_,
                                MaskWritePdu(NumberOfVariant(*address), NumberOfVariant(*andMask), NumberOfVariant(*orMask)));
        });
    });
}

// The regular category (the basic objects with it) in as many parts as the
// device needs, or one object. Empty when a part timed out or got an
// exception reply (ErrCode and ExceptCode tell), or nothing was sent.
HRESULT VelkoMB::ReadDeviceId(VARIANT* objectId, VARIANT* result)
{
    if (!result) return E_POINTER;
    const wchar_t* source = L"VelkoMB.ReadDeviceId";
    return Call(source, [&] {
        const bool one = !automation::IsMissing(objectId);
        uint8_t next = one ? ByteOf(*objectId) : 0;
        std::map<uint8_t, std::string> objects;
        for (int part = 0; part < kMostDeviceIdParts; ++part) {
            const auto reply = RequestReply(source, [&] {
                return FrameRequest(unitId_, DeviceIdRequest(one ? kOneObject : kRegularStream, next));
            });
            if (!reply || reply->empty()) return;
            const DeviceIdReply parsed = ParseDeviceIdReply(*reply);
            if (!parsed.wellFormed) return;
            for (const auto& [id, value] : parsed.objects) objects.emplace(id, value);
            if (one || !parsed.moreFollows) break;
            next = parsed.nextObjectId;
        }
        if (!one) {
            ObjectTexts(objects).detachTo(result);
        } else if (const auto found = objects.find(next); found != objects.end()) {
            V_VT(result) = VT_BSTR;
            V_BSTR(result) = automation::AllocBstr(automation::WideOf(found->second));
        }
    });
}

} // namespace velkomb::client
