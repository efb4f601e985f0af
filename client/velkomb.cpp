#include "client/velkomb.h"
#include <algorithm>
#include <cmath>
#include <memory>
#include "automation/numeric.h"
#include "automation/safearray.h"
#include "client/answer.h"
#include "client/framing.h"
#include "client/wait.h"
#include "client/serial_link.h"
#include "client/socket_link.h"
#include "support/clock.h"
#include "support/error_texts.h"

namespace velkomb::client {

using automation::CheckCall;

VelkoMB* VelkoMB::Create() { return new VelkoMB; }

// A request still outstanding ends here, without an event: its timer goes
// first, and the links' notifications end with them.
VelkoMB::~VelkoMB() { support::DisarmTimer(watchdogTimer_); }

HRESULT VelkoMB::Store(std::wstring& member, BSTR* value, const wchar_t* source)
{
    if (!value) return E_POINTER;
    return Call(source, [&] { member = automation::TextOf(*value); });
}

HRESULT VelkoMB::get_arwReg(VARIANT* value)
{
    if (!value) return E_POINTER;
    VariantInit(value);
    return VariantCopy(value, arwReg_.get());
}

HRESULT VelkoMB::put_arwWReg(VARIANT* value)
{
    if (!value) return E_POINTER;
    // A copy taken now: later changes to the host's array do not reach it.
    return Call(L"VelkoMB.arwWReg", [&] { arwWReg_ = automation::Variant::CopyOf(*value); });
}

Link& VelkoMB::CurrentLink() const
{
    if (!link_) automation::RaiseRuntime(automation::errObjectNotSet);
    return *link_;
}

// --- Connection ---

// The link a transport goes over, made the first time it is needed.
Link& VelkoMB::LinkFor(TransportKind kind)
{
    if (kind == TransportKind::Rtu) {
        if (!serialLink_) serialLink_ = std::make_unique<SerialLink>(*this);
        return *serialLink_;
    }
    if (!socketLink_) socketLink_ = std::make_unique<SocketLink>(*this);
    return *socketLink_;
}

// The Port text as the remote port: 13 when it is no number, 6 outside 1 to
// 65535.
long VelkoMB::RemotePort() const
{
    const long port = automation::Int32OfText(port_);
    if (port < 1 || port > 65535) automation::RaiseRuntime(automation::errOverflow);
    return port;
}

// Where Connect goes: 5 for a Transport that is none; for the network
// transports the Port too (13 when it is no number, 6 outside 1 to 65535).
LinkTarget VelkoMB::TargetOf() const
{
    const TransportKind kind = TransportOf(transport_);
    const long port = kind == TransportKind::Rtu ? 0 : RemotePort();
    return {kind, ipAddress_, port, serialPort_, serialSettings_};
}

void VelkoMB::ConnectToDevice(const LinkTarget& target)
{
    Link& link = LinkFor(target.kind);
    if (link_ && link_ != &link) link_->Close();  // the other transport's connection goes
    link_ = &link;
    framing_ = target.kind == TransportKind::RtuOverTcp || target.kind == TransportKind::Rtu ? &RtuFraming()
                                                                                                : &MbapFraming();
    DropReceivedBytes();  // a new connection starts with no leftover bytes
    awaited_.active = false;
    nextTransactionId_ = 1;
    staleReplies_ = 0;
    frameErrors_ = 0;
    connectSettled_ = false;
    connectError_ = 0;
    link.Open(target);
    readyForRequest_ = true;
    watchdogError_ = L"0";
}

HRESULT VelkoMB::Connect()
{
    return Call(L"VelkoMB.Connect", [&] { ConnectToDevice(TargetOf()); });
}

// Every failure, the socket's own included, is raised as this method's.
HRESULT VelkoMB::ConnectAndWait()
{
    const wchar_t* source = L"VelkoMB.ConnectAndWait";
    return Call(source, [&] {
        automation::WithSource(source, [&] {
            RequireStackForNestedWait();
            ConnectWithinWatchdog();
        });
    });
}

// Connects and waits for the connection, for at most ResponseWatchdog
// seconds (checked before anything starts, as Port is).
void VelkoMB::ConnectWithinWatchdog()
{
    const LinkTarget target = TargetOf();
    const double seconds = automation::ByteOfText(responseWatchdog_);
    ConnectToDevice(target);
    WaitForConnection(seconds);
}

// Pumps messages as the reply wait does until the socket has connected,
// reported an error or `seconds` have passed; ConnState tells the state
// reached.
void VelkoMB::WaitForConnection(double seconds)
{
    const double deadline = support::MonotonicSeconds() + seconds;
    NestedWait wait;
    MessagePump pump;
    for (;;) {
        pump.DispatchWaiting([&] { return connectSettled_; });
        if (connectError_ != 0) {
            NoteSocketState();
            automation::Raise(connectError_, L"", connectErrorText_);
        }
        if (SocketState() == sckConnected) {
            NoteSocketState();
            return;
        }
        const double now = support::MonotonicSeconds();
        if (now > deadline) {
            CurrentLink().Close();  // gives up the attempt
            NoteSocketState();
            automation::Raise(WSAETIMEDOUT, L"", support::GetErrorDescription(WSAETIMEDOUT));
        }
        SleepUntilMessageOr(deadline - now);
    }
}

void VelkoMB::LinkFailed(long number, const std::wstring& description)
{
    connectSettled_ = true;
    connectError_ = number;
    connectErrorText_ = description;
}

HRESULT VelkoMB::Disconnect()
{
    return Call(L"VelkoMB.Disconnect", [&] {
        CurrentLink().Close();
        // A request outstanding ends without an event; the next may go out
        // (on a new connection).
        if (awaited_.active) {
            EndAwaited();
            readyForRequest_ = true;
        }
    });
}

HRESULT VelkoMB::SockDiag()
{
    return Call(L"VelkoMB.SockDiag", [&] { NoteSocketState(); });
}

void VelkoMB::NoteSocketState() { connState_ = automation::DecimalText(SocketState()); }

// --- Reply ---

void VelkoMB::LinkReceived(std::span<const uint8_t> bytes)
{
    AddRef();  // a NewDataIn handler may drop the host's last reference
    struct Releaser {
        VelkoMB* self;
        ~Releaser() { self->Release(); }
    } releaser{this};

    if (outOfStep_) return;
    receivedBytes_.insert(receivedBytes_.end(), bytes.begin(), bytes.end());
    lastArrival_ = support::MonotonicSeconds();
    DecodeReceivedReplies();
}

// Replies may come in pieces or several at once: each is decoded once its
// framing says it is whole, in order, and the bytes beyond it are the start
// of the next one. Handlers of NewDataIn may call back (Execute, Connect),
// so the buffer is read afresh for every reply. `silent`: the line has been
// quiet since the last byte, which ends a frame of no known layout.
void VelkoMB::DecodeReceivedReplies(bool silent)
{
    for (;;) {
        if (receivedBytes_.empty()) return;
        const WireFrame frame = framing_->Next(receivedBytes_, awaited_.request, silent);
        using State = WireFrame::State;
        if (frame.state == State::Incomplete || frame.state == State::Silent) {
            const bool hasRequest = awaited_.active && link_;
            const size_t missing = frame.length > receivedBytes_.size() ? frame.length - receivedBytes_.size() : 1;
            if (hasRequest) link_->Expect(frame.state == State::Silent ? 1 : missing);
            return;
        }
        if (frame.state == State::Impossible) {
            // No reply looks like this, so where the next one starts is
            // unknown: everything is dropped until the next request goes out,
            // and the wait for this one ends by the watchdog.
            receivedBytes_.clear();
            outOfStep_ = true;
            return;
        }
        const auto end = receivedBytes_.begin() + static_cast<std::ptrdiff_t>(frame.length);
        const std::vector<uint8_t> reply =
            frame.state == State::Corrupt ? std::vector<uint8_t>{}
                                          : framing_->ReplyOf({receivedBytes_.data(), frame.length}, awaited_.request);
        if (frame.state == State::Corrupt || (matchReplies_ && !IsAwaitedReply(reply))) {
            // Broken on the line, or late, duplicated, for another unit or of
            // another layout: no answer to what is awaited. Dropped whole,
            // never decoded.
            lastStaleReply_.assign(receivedBytes_.begin(), end);
            receivedBytes_.erase(receivedBytes_.begin(), end);
            ++(frame.state == State::Corrupt ? frameErrors_ : staleReplies_);
            continue;
        }
        lastReply_.assign(receivedBytes_.begin(), end);
        receivedBytes_.erase(receivedBytes_.begin(), end);
        Answer(reply);
    }
}

// The transaction ends here: a handler of NewDataIn may start the next.
void VelkoMB::Answer(const std::vector<uint8_t>& reply)
{
    const bool awaited = awaited_.active;
    const ReplyUse use = awaited_.use;
    if (awaited) {
        awaited_.active = false;
        answered_ = true;
    }
    if (awaited && block_) {
        AnswerBlockPart(reply);
    } else if (awaited && use == ReplyUse::Bytes) {
        PublishBytes(reply);
    } else {
        const DecodedReply decoded = DecodeReply(reply);
        if (awaited) blockDone_ = decoded.complete && decoded.exceptionCode == 0 ? requestItems_ : 0;
        Publish(decoded);
    }
}

bool VelkoMB::IsAwaitedReply(std::span<const uint8_t> frame) const
{
    const auto& ids = awaited_.ids;
    return awaited_.active && std::find(ids.begin(), ids.end(), TransactionIdOf(frame)) != ids.end() &&
           CanAnswer(awaited_.request, frame);
}

void VelkoMB::DropReceivedBytes()
{
    receivedBytes_.clear();
    outOfStep_ = false;
}

// A reply that ends before a byte its decoding needs leaves what it reached
// and raises no NewDataIn.
void VelkoMB::Publish(const DecodedReply& reply)
{
    readyForRequest_ = true;
    watchdogError_ = L"0";
    if (reply.hasCodes) {
        exceptCode_ = automation::DecimalText(reply.exceptionCode);
        errCode_ = automation::DecimalText(reply.functionCode);
    }
    if (reply.hasRegisters) StoreRegisters(reply.values);
    if (reply.complete) events().Raise(DISPID_NewDataIn);
}

void VelkoMB::StoreRegisters(const std::vector<std::optional<int32_t>>& values)
{
    automation::FillVariantArray(arwReg_, values.size(), [&](size_t i, VARIANT& element) {
        if (!values[i]) return;
        const int32_t number = *values[i];
        if (number <= 32767) {
            V_VT(&element) = VT_I2;
            V_I2(&element) = static_cast<SHORT>(number);
        } else {
            V_VT(&element) = VT_I4;
            V_I4(&element) = number;
        }
    });
}

// The reply to a Request: its function code and exception code as for any
// reply, and the data bytes after the function code (none for an exception)
// for the Request to return. An exception reply without its code is
// incomplete: it raises no NewDataIn and gives no data.
void VelkoMB::PublishBytes(std::span<const uint8_t> frame)
{
    constexpr size_t kFunctionIndex = 7, kDataIndex = 8;
    readyForRequest_ = true;
    watchdogError_ = L"0";
    const uint8_t functionCode = frame[kFunctionIndex];
    const bool exception = functionCode >= 0x80;
    if (exception && frame.size() <= kDataIndex) return;
    errCode_ = automation::DecimalText(functionCode);
    exceptCode_ = automation::DecimalText(exception ? frame[kDataIndex] : 0);
    replyData_.emplace();
    if (!exception) replyData_->assign(frame.begin() + kDataIndex, frame.end());
    events().Raise(DISPID_NewDataIn);
}

} // namespace velkomb::client
