#include "client/velkomb.h"
#include <algorithm>
#include <cmath>
#include <memory>
#include "automation/numeric.h"
#include "automation/safearray.h"
#include "client/answer.h"
#include "client/framing.h"
#include "client/serial_link.h"
#include "client/socket_link.h"
#include "support/clock.h"
#include "support/error_texts.h"

namespace velkomb::client {

using automation::CheckCall;

namespace {

// The values of the write array, as the request builder reads them.
class ArrayValues final : public WriteValues {
public:
    explicit ArrayValues(const VARIANT& array) : array_(array) {}
    double value(long index) const override
    {
        return automation::NumberOfVariant(*automation::ElementOf(array_, index).get());
    }

private:
    const VARIANT& array_;
};

// Dispatches the thread's waiting messages for a wait inside a call. A quit
// request is the host's, not the wait's: it is kept and posted again when the
// pump goes, so the host's own loop still ends.
class MessagePump {
public:
    MessagePump() = default;
    MessagePump(const MessagePump&) = delete;
    MessagePump& operator=(const MessagePump&) = delete;
    ~MessagePump()
    {
        if (quit_) PostQuitMessage(exitCode_);
    }

    // Stops early once `done` holds: finding the queue empty after the reply
    // would cost one more round trip to the platform per transaction, and
    // whatever else waits is dispatched by the next wait or the host's loop.
    void DispatchWaiting(const bool& done = false)
    {
        MSG message;
        while (!done && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit_ = true;
                exitCode_ = static_cast<int>(message.wParam);
                continue;
            }
            // Only key strokes need translating (into characters).
            if (message.message >= WM_KEYFIRST && message.message <= WM_KEYLAST) TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

private:
    bool quit_ = false;
    int exitCode_ = 0;
};

// Whether the thread's queue holds anything a read of it would handle (sent,
// posted, input, timer and paint messages). Asking costs less than a read
// that finds nothing, which also gives the rest of the time slice away.
bool MessagesWaiting() { return HIWORD(GetQueueStatus(QS_ALLINPUT | QS_ALLPOSTMESSAGE)) != 0; }

// Sleeps until a message arrives, `handle` (if any) is signalled, or just
// past `seconds` from now.
void SleepUntilMessageOr(double seconds, HANDLE handle = nullptr)
{
    const DWORD wait = static_cast<DWORD>(std::ceil(seconds * 1000.0)) + 1;
    MsgWaitForMultipleObjectsEx(handle ? 1 : 0, handle ? &handle : nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

// Waits on this thread's stack. Each one dispatches messages, so an Execute
// called from a NewDataIn handler nests its wait inside the one below it:
// a host that chains every next request from NewDataIn nests one wait a
// transaction, and the stack runs out after a few hundred.
thread_local int activeWaits = 0;

class NestedWait {
public:
    NestedWait() { ++activeWaits; }
    ~NestedWait() { --activeWaits; }
    NestedWait(const NestedWait&) = delete;
    NestedWait& operator=(const NestedWait&) = delete;
};

// What a wait, its message handlers and the host's event handlers above it
// may need of the stack.
constexpr uintptr_t kStackForOneWait = 256 * 1024;

// Refuses to nest a wait where the stack might not hold it: out of stack
// space (28), rather than a crash a few levels further up.
void RequireStackForNestedWait()
{
    if (activeWaits == 0) return;
    MEMORY_BASIC_INFORMATION stack{};
    if (!VirtualQuery(&stack, &stack, sizeof stack)) return;
    const uintptr_t left = reinterpret_cast<uintptr_t>(&stack) - reinterpret_cast<uintptr_t>(stack.AllocationBase);
    if (left < kStackForOneWait) automation::RaiseRuntime(automation::errOutOfStack);
}

} // namespace

VelkoMB* VelkoMB::Create() { return new VelkoMB; }

VelkoMB::~VelkoMB() = default;

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
        pump.DispatchWaiting(connectSettled_);
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
    });
}

HRESULT VelkoMB::SockDiag()
{
    return Call(L"VelkoMB.SockDiag", [&] { NoteSocketState(); });
}

void VelkoMB::NoteSocketState() { connState_ = automation::DecimalText(SocketState()); }

// --- Transaction ---

namespace {

// "Fixed" or "Counted", in either case; 5 for any other text.
bool CountedIdsOf(const std::wstring& text)
{
    for (const auto& [name, counted] : {std::pair{L"Fixed", false}, std::pair{L"Counted", true}})
        if (CompareStringOrdinal(name, -1, text.c_str(), static_cast<int>(text.size()), TRUE) == CSTR_EQUAL)
            return counted;
    automation::RaiseRuntime(automation::errInvalidCall);
}

// "0" or "1": 13 for a text that is no number, 5 for another number.
bool SwitchOf(const std::wstring& text)
{
    const double number = automation::NumberOfText(text);
    if (number != 0 && number != 1) automation::RaiseRuntime(automation::errInvalidCall);
    return number == 1;
}

} // namespace

VelkoMB::Policy VelkoMB::CurrentPolicy() const
{
    return {CountedIdsOf(transactionIds_), automation::ByteOfText(retries_), SwitchOf(autoReconnect_)};
}

// One transaction: the checks and recovery of Execute, the request that
// `build` makes (empty for a function code the client cannot send: nothing
// goes out, and the wait runs into the watchdog), the send and the wait.
VelkoMB::Outcome VelkoMB::Transact(const wchar_t* source, ReplyUse use, const RequestBuilder& build)
{
    if (automation::NumberOfText(watchdogError_) == 1) {
        watchdogError_ = L"0";
        readyForRequest_ = true;
    }
    if (!readyForRequest_) return Outcome::NotSent;
    RequireStackForNestedWait();
    const Policy policy = CurrentPolicy();
    HandleWhatHasArrived();
    if (SocketState() != sckConnected) {
        if (!policy.reconnect) return Outcome::NotSent;
        automation::WithSource(source, [&] { ConnectWithinWatchdog(); });
    }
    if (!readyForRequest_) return Outcome::NotSent;
    readyForRequest_ = false;

    std::vector<uint8_t> request;
    try {
        request = build();
    } catch (...) {
        // Nothing reached the socket, so nothing is outstanding.
        readyForRequest_ = true;
        throw;
    }
    if (!request.empty()) return SendAndWait(std::move(request), use, policy);
    if (WaitForResponse() == WaitEnd::Answered) return Outcome::Answered;
    watchdogError_ = L"1";
    return Outcome::TimedOut;
}

// Sends the request, and again after each wait that timed out as long as
// tries are left, on the same connection. With counted ids each try has an
// id of its own, and the reply to any of them answers the request.
VelkoMB::Outcome VelkoMB::SendAndWait(std::vector<uint8_t> request, ReplyUse use, const Policy& policy)
{
    matchReplies_ = policy.countedIds;
    replyData_.reset();
    awaited_ = {true, use, std::move(request), {}};
    for (int attempt = 0;; ++attempt) {
        if (policy.countedIds) {
            SetTransactionId(awaited_.request, nextTransactionId_);
            awaited_.ids.push_back(nextTransactionId_++);
        }
        requestBytes_ = framing_->WireOf(awaited_.request);
        link_->Send(requestBytes_);
        if (Broadcasts(awaited_.request)) {
            // No unit answers a broadcast: it is done once the line is quiet.
            awaited_.active = false;
            WaitForSilence();
            readyForRequest_ = true;
            watchdogError_ = L"0";
            return Outcome::NotSent;
        }
        link_->Expect(framing_->Next({}, awaited_.request, false).length);
        const WaitEnd end = WaitForResponse(policy.reconnect);
        if (end == WaitEnd::Answered) return Outcome::Answered;
        // A reply handled as the watchdog ran out still counts as a time-out,
        // but the request is not sent again.
        if (end == WaitEnd::ConnectionLost || readyForRequest_ || attempt >= policy.retries) break;
    }
    awaited_.active = false;
    watchdogError_ = L"1";
    return Outcome::TimedOut;
}

HRESULT VelkoMB::Execute()
{
    const wchar_t* source = L"VelkoMB.Execute";
    return Call(source, [&] {
        Transact(source, ReplyUse::Registers, [&] {
            return BuildRequest({mbFunCode_, startAddress_, nrRegisters_, startWAddress_, nrWRegisters_, unitId_},
                                ArrayValues(*arwWReg_.get()));
        });
    });
}

// No byte received before a request goes out can be part of its reply. So
// first whatever has arrived is handled: complete replies as the unsolicited
// replies they are (a late one is then never taken for the answer to the
// request after it), a close as the end of the connection (nothing is sent
// on it). What is left is the start of a reply that no request still awaits:
// the new request's reply starts with nothing buffered.
void VelkoMB::HandleWhatHasArrived()
{
    NestedWait wait;
    if (MessagesWaiting()) MessagePump().DispatchWaiting();
    DropReceivedBytes();
    CurrentLink().Discard();
}

// Unit 0 on a serial line is every unit's.
bool VelkoMB::Broadcasts(std::span<const uint8_t> request) const
{
    constexpr size_t kUnitIndex = 6;
    return link_ == serialLink_.get() && request[kUnitIndex] == 0;
}

// Lets messages through for the line's silence.
void VelkoMB::WaitForSilence()
{
    const double end = support::MonotonicSeconds() + link_->Silence();
    MessagePump pump;
    for (double now = support::MonotonicSeconds(); now < end; now = support::MonotonicSeconds()) {
        pump.DispatchWaiting();
        SleepUntilMessageOr(end - now);
    }
}

// Lets messages through until the awaited reply has been handled or the
// watchdog ran out; with `endOnClose`, also until the connection is gone.
VelkoMB::WaitEnd VelkoMB::WaitForResponse(bool endOnClose)
{
    const double start = support::MonotonicSeconds();
    NestedWait wait;
    MessagePump pump;
    // The processor is given away once before the queue is first read: a
    // device on this machine (a simulator, a gateway service) usually answers
    // within that slice, and its reply is then found at the first read
    // rather than after a wake-up round trip. With no other thread ready to
    // run here, it returns at once.
    SwitchToThread();
    for (;;) {
        pump.DispatchWaiting(readyForRequest_);
        link_->Poll();
        double now = support::MonotonicSeconds();
        // A frame of no known layout ends when the line has been quiet.
        const double quietAt = lastArrival_ + link_->Silence();
        if (!receivedBytes_.empty() && link_->Silence() > 0 && now >= quietAt) DecodeReceivedReplies(true);
        const double deadline = start + automation::ByteOfText(responseWatchdog_);
        if (now > deadline) return WaitEnd::TimedOut;
        if (readyForRequest_) return WaitEnd::Answered;
        if (endOnClose && SocketState() != sckConnected) return WaitEnd::ConnectionLost;
        const bool framePending = !receivedBytes_.empty() && link_->Silence() > 0 && quietAt > now;
        SleepUntilMessageOr((framePending ? std::min(deadline, quietAt) : deadline) - now, link_->WaitHandle());
    }
}

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
        // The transaction ends here: a handler of NewDataIn may start the next.
        const bool asBytes = awaited_.active && awaited_.use == ReplyUse::Bytes;
        awaited_.active = false;
        if (asBytes)
            PublishBytes(reply);
        else
            Publish(DecodeReply(reply));
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
    if (reply.hasRegisters) {
        automation::FillVariantArray(arwReg_, reply.values.size(), [&](size_t i, VARIANT& element) {
            if (!reply.values[i]) return;
            const int32_t number = *reply.values[i];
            if (number <= 32767) {
                V_VT(&element) = VT_I2;
                V_I2(&element) = static_cast<SHORT>(number);
            } else {
                V_VT(&element) = VT_I4;
                V_I4(&element) = number;
            }
        });
    }
    if (reply.complete) events().Raise(DISPID_NewDataIn);
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
