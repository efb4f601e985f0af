#include "client/serial_link.h"
#include <cmath>
#include "client/serial_texts.h"
#include "support/clock.h"

namespace velkomb::client {

void SerialLink::Open(const LinkTarget& target)
{
    const std::wstring path = rtu::DevicePathOfPortName(target.serialPort);
    const rtu::SerialSettings settings = rtu::SerialSettingsOfText(target.serialSettings);
    port_.Open(path, settings.baud, static_cast<BYTE>(settings.parity), static_cast<BYTE>(settings.dataBits),
               static_cast<BYTE>(settings.stopBits));
    settings_ = settings;
    NoteActivity();
    events_.LinkConnected();
}

void SerialLink::Close()
{
    wake_.Cancel();
    port_.Close();
}

// What came while no request was outstanding goes before the next one.
void SerialLink::Discard()
{
    wake_.Cancel();
    port_.CancelRead();
    port_.Purge();
}

// The gap before a request is short (1.75 ms at most above 19,200 baud, 32
// ms at 1,200): it is slept rather than waited out with the messages.
void SerialLink::Send(std::span<const uint8_t> frame)
{
    const double wait = lastActivity_ + Silence() - support::MonotonicSeconds();
    if (wait > 0) Sleep(static_cast<DWORD>(std::ceil(wait * 1000.0)));
    port_.Write(frame);
    NoteActivity();
}

void SerialLink::Expect(size_t count)
{
    if (!port_.IsOpen() || port_.ReadPending()) return;
    port_.StartRead(count > 0 ? count : 1);
    wake_.Arm(port_.ReadEvent());
}

void SerialLink::Poll()
{
    if (!port_.ReadPending() || WaitForSingleObject(port_.ReadEvent(), 0) != WAIT_OBJECT_0) return;
    received_.clear();
    if (port_.FinishRead(received_) == 0) return;
    NoteActivity();
    events_.LinkReceived(received_);
}

// A failing read ends in the watchdog of the request it was for.
void SerialLink::Woken() { Poll(); }

void SerialLink::NoteActivity() { lastActivity_ = support::MonotonicSeconds(); }

} // namespace velkomb::client
