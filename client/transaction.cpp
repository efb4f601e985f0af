// The client's transactions: the checks before a request, its tries, the
// watchdog, and the waits of Execute and WaitForReply. A reply ends its
// transaction where it is decoded, whoever dispatched its notification: the
// client's own wait, another client's, or the host's message loop. A request
// that nobody waits for is ended by a timer of the thread at its watchdog.
#include <cmath>
#include <limits>
#include "automation/numeric.h"
#include "automation/variant.h"
#include "client/answer.h"
#include "client/serial_link.h"
#include "client/velkomb.h"
#include "client/wait.h"
#include "support/clock.h"

namespace velkomb::client {

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

constexpr double kForever = std::numeric_limits<double>::infinity();

} // namespace

VelkoMB::Policy VelkoMB::CurrentPolicy() const
{
    return {CountedIdsOf(transactionIds_), automation::ByteOfText(retries_), SwitchOf(autoReconnect_)};
}

HRESULT VelkoMB::Execute()
{
    const wchar_t* source = L"VelkoMB.Execute";
    return Call(source, [&] { Transact(source, ReplyUse::Registers, [&] { return PlanRequest(); }); });
}

HRESULT VelkoMB::ExecuteAsync()
{
    const wchar_t* source = L"VelkoMB.ExecuteAsync";
    return Call(source, [&] { Transact(source, ReplyUse::Registers, [&] { return PlanRequest(); }, false); });
}

// Without `seconds`, until the reply has been handled or the watchdog ran out
// (after the tries Retries allows).
HRESULT VelkoMB::WaitForReply(VARIANT* seconds)
{
    return Call(L"VelkoMB.WaitForReply", [&] {
        double limit = kForever;
        if (!automation::IsMissing(seconds)) {
            limit = automation::NumberOfVariant(automation::Deref(*seconds));
            if (limit < 0) automation::RaiseRuntime(automation::errInvalidCall);
        }
        if (!awaited_.active) return;
        RequireStackForNestedWait();
        WaitWhileBusy(limit, false);
    });
}

// One transaction: the checks and recovery of Execute, the request that
// `build` makes (empty for a function code the client cannot send: nothing
// goes out, and the request times out), the send, and with `wait` the wait.
VelkoMB::Outcome VelkoMB::Transact(const wchar_t* source, ReplyUse use, const RequestBuilder& build, bool wait)
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
    // Nobody waits to see a bad watchdog raised after the send.
    if (!wait) automation::ByteOfText(responseWatchdog_);
    readyForRequest_ = false;

    std::vector<uint8_t> request;
    try {
        request = build();
    } catch (...) {
        // Nothing reached the link, so nothing is outstanding.
        readyForRequest_ = true;
        block_.reset();
        throw;
    }
    policy_ = policy;
    if (request.empty()) {
        if (wait) WaitWithoutRequest();
        if (!wait || !readyForRequest_) watchdogError_ = L"1";
        return readyForRequest_ ? Outcome::Answered : Outcome::TimedOut;
    }
    StartRequest(std::move(request), use, !wait);
    if (!wait) return Outcome::Sent;
    try {
        WaitWhileBusy(kForever, true);
    } catch (...) {
        if (awaited_.active) EndAwaited();
        throw;
    }
    return answered_ && watchdogError_ == L"0" ? Outcome::Answered : Outcome::TimedOut;
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

void VelkoMB::StartRequest(std::vector<uint8_t> request, ReplyUse use, bool unattended)
{
    matchReplies_ = policy_.countedIds;
    replyData_.reset();
    answered_ = false;
    awaited_ = {true, use, std::move(request), {}, policy_.retries, 0, unattended};
    SendTry();
}

// The next part of the block goes out as a request of its own, with its own
// tries.
void VelkoMB::StartNextPart()
{
    TakeNextPart();
    SendTry();
}

void VelkoMB::TakeNextPart()
{
    Block& block = *block_;
    awaited_.request = block.parts[block.next++];
    awaited_.ids.clear();
    awaited_.triesLeft = policy_.retries;
    awaited_.active = true;
}

// Sends the awaited request once more. With counted ids each try has an id
// of its own, and the reply to any of them answers the request.
void VelkoMB::SendTry()
{
    while (SendAndWaitOutBroadcast()) {
        // No unit answers a broadcast: it is done once the line is quiet.
        if (block_) block_->done += block_->counts[block_->next - 1];
        if (!block_ || block_->next == block_->parts.size()) {
            if (!block_ && awaited_.use == ReplyUse::Registers) blockDone_ = requestItems_;
            EndAwaited();
            readyForRequest_ = true;
            watchdogError_ = L"0";
            return;
        }
        TakeNextPart();
    }
    link_->Expect(framing_->Next({}, awaited_.request, false).length);
    awaited_.deadline = support::MonotonicSeconds() + automation::ByteOfText(responseWatchdog_);
    if (awaited_.unattended) ArmWatchdog();
}

// True for a broadcast, once the line has been quiet after it.
bool VelkoMB::SendAndWaitOutBroadcast()
{
    if (matchReplies_) {
        SetTransactionId(awaited_.request, nextTransactionId_);
        awaited_.ids.push_back(nextTransactionId_++);
    }
    requestBytes_ = framing_->WireOf(awaited_.request);
    try {
        link_->Send(requestBytes_);
    } catch (...) {
        awaited_.active = false;
        block_.reset();
        throw;
    }
    if (!Broadcasts(awaited_.request)) return false;
    WaitForSilence();
    return true;
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

// A timer armed for an earlier moment stays: when it fires it arms itself
// again for what is left. So the timer is set once a watchdog's time, not
// once a request (setting and killing one costs as much as a transaction's
// other calls to the platform together), and one that fires with no request
// outstanding does nothing.
void VelkoMB::ArmWatchdog()
{
    if (watchdogTimer_ && timerDue_ <= awaited_.deadline) return;
    support::DisarmTimer(watchdogTimer_);
    const double now = support::MonotonicSeconds();
    const double left = awaited_.deadline - now;
    // Just past the deadline, as the wait measures it.
    const UINT milliseconds = left > 0 ? static_cast<UINT>(std::ceil(left * 1000.0)) + 1 : 1;
    watchdogTimer_ = support::ArmTimer(this, milliseconds);
    timerDue_ = now + milliseconds / 1000.0;
}

void VelkoMB::TimerFired()
{
    watchdogTimer_ = 0;
    if (!awaited_.active || !awaited_.unattended) return;  // a wait measures its own
    if (support::MonotonicSeconds() <= awaited_.deadline) {
        ArmWatchdog();
        return;
    }
    try {
        OnDeadline();
    } catch (...) {
        EndInTimeOut();  // the next try could not be sent
    }
}

// The current try's wait ran out: the request goes again while tries are
// left, on the same connection, else it has timed out.
void VelkoMB::OnDeadline()
{
    if (awaited_.triesLeft > 0) {
        --awaited_.triesLeft;
        SendTry();
        return;
    }
    EndInTimeOut();
}

// The awaited request ends without an answer; a block ends with the items
// its parts did.
void VelkoMB::EndAwaited()
{
    awaited_.active = false;
    if (block_) {
        blockDone_ = block_->done;
        block_.reset();
    }
}

void VelkoMB::EndInTimeOut()
{
    EndAwaited();
    watchdogError_ = L"1";
}

// A connection that drops while a reply is awaited, under AutoReconnect,
// ends the wait at once: the next request connects again.
void VelkoMB::LinkClosed()
{
    if (awaited_.active && policy_.reconnect) EndInTimeOut();
}

// A function code the client cannot send: nothing went out, and any reply
// decoded meanwhile ends the wait, else the watchdog does.
void VelkoMB::WaitWithoutRequest()
{
    const double deadline = support::MonotonicSeconds() + automation::ByteOfText(responseWatchdog_);
    NestedWait wait;
    MessagePump pump;
    for (;;) {
        pump.DispatchWaiting([&] { return readyForRequest_; });
        const double now = support::MonotonicSeconds();
        if (now > deadline || readyForRequest_) return;
        SleepUntilMessageOr(deadline - now, link_->WaitHandle());
    }
}

void VelkoMB::WaitWhileBusy(double seconds, bool strict)
{
    const double end = support::MonotonicSeconds() + seconds;
    NestedWait wait;
    MessagePump pump;
    // The processor is given away once before the queue is first read: a
    // device on this machine (a simulator, a gateway service) usually answers
    // within that slice, and its reply is then found at the first read
    // rather than after a wake-up round trip. With no other thread ready to
    // run here, it returns at once.
    SwitchToThread();
    while (awaited_.active) {
        const double deadline = awaited_.deadline;
        pump.DispatchWaiting([&] { return !awaited_.active; });
        link_->Poll();
        const double now = support::MonotonicSeconds();
        // A frame of no known layout ends when the line has been quiet.
        const double quietAt = lastArrival_ + link_->Silence();
        const bool framePending = !receivedBytes_.empty() && link_->Silence() > 0;
        if (framePending && now >= quietAt) DecodeReceivedReplies(true);
        if (!awaited_.active) {
            // A reply handled as the watchdog ran out still counts as a
            // time-out, but the request is not sent again.
            if (strict && now > deadline) watchdogError_ = L"1";
            return;
        }
        if (now > awaited_.deadline) {
            OnDeadline();
            continue;
        }
        if (policy_.reconnect && SocketState() != sckConnected) {
            EndInTimeOut();
            return;
        }
        if (now >= end) return;
        double until = std::min(end, awaited_.deadline);
        if (framePending && quietAt > now) until = std::min(until, quietAt);
        SleepUntilMessageOr(until - now, link_->WaitHandle());
    }
}

} // namespace velkomb::client
