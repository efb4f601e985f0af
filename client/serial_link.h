// The client's serial line: RTU frames on a COM port. The port reads a
// reply by count (first what every reply has, then as much as its layout
// asks for), each read overlapped so the client's waits wait on it beside
// the messages; nothing polls. A read that completes while nobody waits
// wakes the link through the thread's messages, so the host's own loop
// takes the reply of a request nobody waits for.
#pragma once
#include <vector>
#include "client/serial_line.h"
#include "client/serial_port.h"
#include "client/transport.h"
#include "support/wakeups.h"

namespace velkomb::client {

class SerialLink final : public Link, private support::WakeTarget {
public:
    explicit SerialLink(LinkEvents& events) : events_(events), wake_(this) {}

    // Opens and configures SerialPort with SerialSettings: 5 for a text of
    // the wrong form, the platform's error for a port that cannot be opened.
    void Open(const LinkTarget& target) override;
    void Close() override;
    StateConstants State() const override { return port_.IsOpen() ? sckConnected : sckClosed; }
    void Discard() override;
    // After the line's silence since its last byte, sent or received.
    void Send(std::span<const uint8_t> frame) override;
    void Expect(size_t count) override;
    HANDLE WaitHandle() const override { return port_.ReadPending() ? port_.ReadEvent() : nullptr; }
    void Poll() override;
    double Silence() const override { return rtu::InterFrameSilence(settings_); }

private:
    void NoteActivity();
    void KeepAlive() override { events_.KeepAlive(); }
    void LetGo() override { events_.LetGo(); }
    void Woken() override;

    LinkEvents& events_;
    SerialPort port_;
    rtu::SerialSettings settings_;
    double lastActivity_ = 0;
    std::vector<uint8_t> received_;
    support::WakeOnSignal wake_;
};

} // namespace velkomb::client
