// VelkoMB: a Modbus/TCP client for one device. Every numeric setting crosses
// the interface as text and is converted where it is used; Execute sends one
// request and returns once the reply has been handled or the watchdog ran out.
#pragma once
#include <windows.h>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>
#include "automation/numeric.h"
#include "automation/variant.h"
#include "client/extras.h"
#include "client/reply.h"
#include "client/transport.h"
#include "support/timers.h"
#include "component/com/object.h"
#include "component/interfaces.h"

namespace velkomb::client {

class SerialLink;
struct RequestFields;
class SocketLink;

class VelkoMB final : public com::AutomationObject<VelkoMB, _VelkoMB, IID__VelkoMB, CLSID_VelkoMB, DIID___VelkoMB>,
                      public VelkoMBExtras,
                      public LinkEvents,
                      public support::TimerTarget {
public:
    static VelkoMB* Create();
    ~VelkoMB() override;

    // _VelkoMB
    HRESULT STDMETHODCALLTYPE Connect() override;
    HRESULT STDMETHODCALLTYPE Disconnect() override;
    HRESULT STDMETHODCALLTYPE SockDiag() override;
    HRESULT STDMETHODCALLTYPE Execute() override;
    HRESULT STDMETHODCALLTYPE put_IPAddress(BSTR* value) override
    {
        return Store(ipAddress_, value, L"VelkoMB.IPAddress");
    }
    HRESULT STDMETHODCALLTYPE get_IPAddress(BSTR* value) override { return PutOut(value, ipAddress_); }
    HRESULT STDMETHODCALLTYPE put_StartAddress(BSTR* value) override
    {
        return Store(startAddress_, value, L"VelkoMB.StartAddress");
    }
    HRESULT STDMETHODCALLTYPE get_StartAddress(BSTR* value) override { return PutOut(value, startAddress_); }
    HRESULT STDMETHODCALLTYPE put_NrRegisters(BSTR* value) override
    {
        return Store(nrRegisters_, value, L"VelkoMB.NrRegisters");
    }
    HRESULT STDMETHODCALLTYPE get_NrRegisters(BSTR* value) override { return PutOut(value, nrRegisters_); }
    HRESULT STDMETHODCALLTYPE put_StartWAddress(BSTR* value) override
    {
        return Store(startWAddress_, value, L"VelkoMB.StartWAddress");
    }
    HRESULT STDMETHODCALLTYPE get_StartWAddress(BSTR* value) override { return PutOut(value, startWAddress_); }
    HRESULT STDMETHODCALLTYPE put_NrWRegisters(BSTR* value) override
    {
        return Store(nrWRegisters_, value, L"VelkoMB.NrWRegisters");
    }
    HRESULT STDMETHODCALLTYPE get_NrWRegisters(BSTR* value) override { return PutOut(value, nrWRegisters_); }
    HRESULT STDMETHODCALLTYPE get_arwReg(VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE put_MBFunCode(BSTR* value) override
    {
        return Store(mbFunCode_, value, L"VelkoMB.MBFunCode");
    }
    HRESULT STDMETHODCALLTYPE put_arwWReg(VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE get_ErrCode(BSTR* value) override { return PutOut(value, errCode_); }
    HRESULT STDMETHODCALLTYPE get_ExceptCode(BSTR* value) override { return PutOut(value, exceptCode_); }
    HRESULT STDMETHODCALLTYPE get_ConnState(BSTR* value) override { return PutOut(value, connState_); }
    HRESULT STDMETHODCALLTYPE get_WatchdogError(BSTR* value) override { return PutOut(value, watchdogError_); }
    HRESULT STDMETHODCALLTYPE put_ResponseWatchdog(BSTR* value) override
    {
        return Store(responseWatchdog_, value, L"VelkoMB.ResponseWatchdog");
    }

    // Members beyond the type library, reachable by name.
    static std::vector<typelib::Function> ExtraMembers() { return VelkoMBExtraMembers(); }
    void* ExtraInterface() { return static_cast<VelkoMBExtras*>(this); }
    HRESULT STDMETHODCALLTYPE put_Port(BSTR* value) override { return Store(port_, value, L"VelkoMB.Port"); }
    HRESULT STDMETHODCALLTYPE get_Port(BSTR* value) override { return PutOut(value, port_); }
    HRESULT STDMETHODCALLTYPE put_UnitId(BSTR* value) override { return Store(unitId_, value, L"VelkoMB.UnitId"); }
    HRESULT STDMETHODCALLTYPE get_UnitId(BSTR* value) override { return PutOut(value, unitId_); }
    HRESULT STDMETHODCALLTYPE ConnectAndWait() override;
    HRESULT STDMETHODCALLTYPE put_WordOrder(BSTR* value) override
    {
        return Store(wordOrder_, value, L"VelkoMB.WordOrder");
    }
    HRESULT STDMETHODCALLTYPE get_WordOrder(BSTR* value) override { return PutOut(value, wordOrder_); }
    HRESULT STDMETHODCALLTYPE GetValue(VARIANT* index, VARIANT* dataType, VARIANT* result) override;
    HRESULT STDMETHODCALLTYPE SetValue(VARIANT* index, VARIANT* dataType, VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE get_LastRequest(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_LastReply(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_ExceptText(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_TransactionIds(BSTR* value) override
    {
        return Store(transactionIds_, value, L"VelkoMB.TransactionIds");
    }
    HRESULT STDMETHODCALLTYPE get_TransactionIds(BSTR* value) override { return PutOut(value, transactionIds_); }
    HRESULT STDMETHODCALLTYPE get_StaleReplies(BSTR* value) override
    {
        return PutOut(value, automation::DecimalText(staleReplies_));
    }
    HRESULT STDMETHODCALLTYPE get_LastStaleReply(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_AutoReconnect(BSTR* value) override
    {
        return Store(autoReconnect_, value, L"VelkoMB.AutoReconnect");
    }
    HRESULT STDMETHODCALLTYPE get_AutoReconnect(BSTR* value) override { return PutOut(value, autoReconnect_); }
    HRESULT STDMETHODCALLTYPE put_Retries(BSTR* value) override { return Store(retries_, value, L"VelkoMB.Retries"); }
    HRESULT STDMETHODCALLTYPE get_Retries(BSTR* value) override { return PutOut(value, retries_); }
    HRESULT STDMETHODCALLTYPE Request(VARIANT* functionCode, VARIANT* data, VARIANT* result) override;
    HRESULT STDMETHODCALLTYPE ReadDeviceId(VARIANT* objectId, VARIANT* result) override;
    HRESULT STDMETHODCALLTYPE MaskWrite(VARIANT* address, VARIANT* andMask, VARIANT* orMask) override;

    HRESULT STDMETHODCALLTYPE put_Transport(BSTR* value) override
    {
        return Store(transport_, value, L"VelkoMB.Transport");
    }
    HRESULT STDMETHODCALLTYPE get_Transport(BSTR* value) override { return PutOut(value, transport_); }
    HRESULT STDMETHODCALLTYPE put_SerialPort(BSTR* value) override
    {
        return Store(serialPort_, value, L"VelkoMB.SerialPort");
    }
    HRESULT STDMETHODCALLTYPE get_SerialPort(BSTR* value) override { return PutOut(value, serialPort_); }
    HRESULT STDMETHODCALLTYPE put_SerialSettings(BSTR* value) override
    {
        return Store(serialSettings_, value, L"VelkoMB.SerialSettings");
    }
    HRESULT STDMETHODCALLTYPE get_SerialSettings(BSTR* value) override { return PutOut(value, serialSettings_); }
    HRESULT STDMETHODCALLTYPE get_FrameErrors(BSTR* value) override
    {
        return PutOut(value, automation::DecimalText(frameErrors_));
    }

    HRESULT STDMETHODCALLTYPE ExecuteAsync() override;
    HRESULT STDMETHODCALLTYPE get_Busy(BSTR* value) override { return PutOut(value, awaited_.active ? L"1" : L"0"); }
    HRESULT STDMETHODCALLTYPE WaitForReply(VARIANT* seconds) override;
    HRESULT STDMETHODCALLTYPE put_MaxPerRequest(BSTR* value) override
    {
        return Store(maxPerRequest_, value, L"VelkoMB.MaxPerRequest");
    }
    HRESULT STDMETHODCALLTYPE get_MaxPerRequest(BSTR* value) override { return PutOut(value, maxPerRequest_); }
    HRESULT STDMETHODCALLTYPE get_BlockDone(BSTR* value) override
    {
        return PutOut(value, automation::DecimalText(blockDone_));
    }

    // LinkEvents: what arrived decodes replies; a connection made or failed
    // is noted for ConnectAndWait.
    void LinkReceived(std::span<const uint8_t> bytes) override;
    void LinkConnected() override { connectSettled_ = true; }
    void LinkFailed(long number, const std::wstring& description) override;
    void LinkClosed() override;

private:
    VelkoMB() = default;

    // What a reply is decoded into: arwReg (Execute), or the data bytes a
    // Request returns.
    enum class ReplyUse { Registers, Bytes };
    enum class Outcome { NotSent, Sent, Answered, TimedOut };
    // How a transaction goes, from the members that choose it.
    struct Policy {
        bool countedIds;
        int retries;
        bool reconnect;
    };
    // The request that awaits its reply: the transaction ids of all its
    // tries (counted ids), the tries left, whether a close ends it, and when
    // the current try's wait runs out.
    struct Awaited {
        bool active = false;
        ReplyUse use = ReplyUse::Registers;
        std::vector<uint8_t> request;
        std::vector<uint16_t> ids;
        int triesLeft = 0;
        double deadline = 0;
        // Sent by ExecuteAsync: the watchdog's timer ends it if nobody waits.
        bool unattended = false;
    };
    // A read or write sent as consecutive requests (parts), all built before
    // the first goes out, and what the parts brought so far.
    struct Block {
        std::vector<std::vector<uint8_t>> parts;
        std::vector<long> counts;  // items of each part
        uint8_t functionCode = 0;
        long total = 0;
        size_t next = 0;
        long done = 0;  // items of the parts answered
        std::vector<std::optional<int32_t>> values;  // element 0 empty, then the items read
    };
    HRESULT Store(std::wstring& member, BSTR* value, const wchar_t* source);
    long RemotePort() const;
    Link& LinkFor(TransportKind kind);
    LinkTarget TargetOf() const;
    void ConnectToDevice(const LinkTarget& target);
    void ConnectWithinWatchdog();
    void WaitForConnection(double seconds);
    Policy CurrentPolicy() const;
    using RequestBuilder = std::function<std::vector<uint8_t>()>;
    // One transaction up to the send; with `wait`, also the wait for its
    // reply as Execute's.
    Outcome Transact(const wchar_t* source, ReplyUse use, const RequestBuilder& build, bool wait = true);
    // The request Execute sends, or the first part of a block.
    std::vector<uint8_t> PlanRequest();
    std::optional<Block> PlanBlock(const RequestFields& fields);
    // A request of the PDU `build` makes, its reply kept as bytes.
    std::optional<std::vector<uint8_t>> RequestReply(const wchar_t* source, const RequestBuilder& build);
    void HandleWhatHasArrived();
    void StartRequest(std::vector<uint8_t> request, ReplyUse use, bool unattended);
    void StartNextPart();
    void TakeNextPart();
    void SendTry();
    bool SendAndWaitOutBroadcast();
    void ArmWatchdog();
    void OnDeadline();
    void EndAwaited();
    void EndInTimeOut();
    void WaitWithoutRequest();
    // Lets messages through while a request awaits its reply, for at most
    // `seconds`; `strict`: as Execute's wait, where the watchdog is tested
    // before the reply in each pass.
    void WaitWhileBusy(double seconds, bool strict);
    void Answer(const std::vector<uint8_t>& reply);
    void AnswerBlockPart(const std::vector<uint8_t>& reply);
    void EndBlock(const DecodedReply& last);
    // TimerTarget: the reply watchdog, for requests nobody waits for.
    void KeepAlive() override { AddRef(); }
    void LetGo() override { Release(); }
    void TimerFired() override;
    Link& CurrentLink() const;
    StateConstants SocketState() const { return CurrentLink().State(); }
    void NoteSocketState();
    bool Broadcasts(std::span<const uint8_t> request) const;
    void WaitForSilence();
    void DecodeReceivedReplies(bool silent = false);
    bool IsAwaitedReply(std::span<const uint8_t> frame) const;
    void DropReceivedBytes();
    void Publish(const DecodedReply& reply);
    void StoreRegisters(const std::vector<std::optional<int32_t>>& values);
    void PublishBytes(std::span<const uint8_t> frame);

    std::wstring ipAddress_;
    std::wstring startAddress_;
    std::wstring nrRegisters_;
    std::wstring startWAddress_;
    std::wstring responseWatchdog_;
    std::wstring watchdogError_;
    std::wstring nrWRegisters_;
    std::wstring mbFunCode_;
    std::wstring errCode_;
    std::wstring exceptCode_;
    std::wstring connState_;
    automation::Variant arwReg_;
    automation::Variant arwWReg_;
    bool readyForRequest_ = false;
    std::vector<uint8_t> requestBytes_;
    // The links, each made by the first Connect that needs it and kept (the
    // socket is tcpSock), and the one in use with its framing.
    std::unique_ptr<SocketLink> socketLink_;
    std::unique_ptr<SerialLink> serialLink_;
    Link* link_ = nullptr;
    const Framing* framing_ = &MbapFraming();
    // Received bytes not decoded yet: the start of the next reply.
    std::vector<uint8_t> receivedBytes_;
    // A reply's length was impossible: received bytes are dropped until the
    // next request goes out.
    bool outOfStep_ = false;
    // The last reply decoded, whole as its header delimited it.
    std::vector<uint8_t> lastReply_;
    std::wstring port_ = L"502";
    std::wstring unitId_ = L"1";
    std::wstring wordOrder_ = L"ABCD";
    std::wstring transactionIds_ = L"Fixed";
    std::wstring autoReconnect_ = L"0";
    std::wstring retries_ = L"0";
    // Counted ids: the next request's, and whether replies must answer the
    // awaited request (as of the last transaction).
    uint16_t nextTransactionId_ = 1;
    bool matchReplies_ = false;
    Awaited awaited_;
    long staleReplies_ = 0;
    std::vector<uint8_t> lastStaleReply_;
    std::optional<Block> block_;
    std::wstring maxPerRequest_ = L"0";
    long blockDone_ = 0;
    long requestItems_ = 0;  // of Execute's single request
    Policy policy_{};  // of the transaction under way
    bool answered_ = false;
    UINT_PTR watchdogTimer_ = 0;
    double timerDue_ = 0;  // when watchdogTimer_ fires
    std::wstring transport_ = L"TCP";
    std::wstring serialPort_ = L"COM1";
    std::wstring serialSettings_ = L"19200,E,8,1";
    long frameErrors_ = 0;
    double lastArrival_ = 0;  // when bytes last came, for frames that end at silence
    // The data bytes of the reply to the last Request, when it came.
    std::optional<std::vector<uint8_t>> replyData_;
    // What the link reported since the last Connect started a connection:
    // it connected or failed (settled), and the error it reported, if any.
    bool connectSettled_ = false;
    long connectError_ = 0;
    std::wstring connectErrorText_;
};

} // namespace velkomb::client
