// A serial port opened for overlapped I/O, for the client's RTU transport.
// It does no waiting with the thread's messages itself: the caller starts a
// read of an exact byte count, waits on ReadEvent() together with its
// messages and then finishes (or cancels) the read. At most one read is
// pending at a time. Failures raise automation::AutomationError with the
// platform's error number and the system's text.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velkomb::client {

class SerialPort {
public:
    SerialPort() = default;
    ~SerialPort() { Close(); }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens devicePath (L"\\\\.\\COM5") exclusively with the given line
    // settings (parity NOPARITY..SPACEPARITY, stopBits ONESTOPBIT,
    // ONE5STOPBITS or TWOSTOPBITS), binary, without flow control. An open
    // port is closed first. On failure nothing stays open.
    void Open(const std::wstring& devicePath, DWORD baud, BYTE parity, BYTE dataBits, BYTE stopBits);
    // Closes the port, cancelling a pending read. Never fails.
    void Close() noexcept;
    bool IsOpen() const { return port_ != INVALID_HANDLE_VALUE; }

    // Sends every byte; waits at most the time the line needs for them plus
    // a margin, then cancels the write and raises 10060.
    void Write(std::span<const uint8_t> bytes);

    // Starts reading exactly `count` (> 0) bytes; the read completes only
    // when all have arrived.
    void StartRead(size_t count);
    // Manual-reset event, signalled when the pending read has completed.
    HANDLE ReadEvent() const { return readEvent_; }
    bool ReadPending() const { return readPending_; }
    // Appends what the completed read got to `into` and returns its count;
    // 0, with the read still pending, when it has not completed yet.
    size_t FinishRead(std::vector<uint8_t>& into);
    // Cancels the pending read and waits for the cancellation, so the read
    // buffer is free; what the read may have got is dropped.
    void CancelRead() noexcept;
    // Drops what the driver holds in its receive and send queues.
    void Purge();

private:
    void Configure(DWORD baud, BYTE parity, BYTE dataBits, BYTE stopBits);
    void RequireOpen() const;
    DWORD WriteTimeoutMs(size_t count) const;

    HANDLE port_ = INVALID_HANDLE_VALUE;
    HANDLE readEvent_ = nullptr;
    HANDLE writeEvent_ = nullptr;
    OVERLAPPED read_{};
    std::vector<uint8_t> readBuffer_;
    bool readPending_ = false;
    DWORD baud_ = 0;
    DWORD bitsPerByte_ = 0;  // on the line: start, data, parity and stop bits
};

} // namespace velkomb::client
