#include "client/serial_port.h"
#include <winsock2.h>
#include "automation/error.h"
#include "support/error_texts.h"

namespace velkomb::client {

namespace {

// Driver queue sizes: a frame is at most 256 bytes, a few fit in either.
constexpr DWORD kQueueBytes = 4096;
// What a write may take beyond the line time of its bytes.
constexpr DWORD kWriteMarginMs = 500;

[[noreturn]] void RaisePlatformError(DWORD code)
{
    automation::Raise(static_cast<long>(code), L"", automation::HresultText(HRESULT_FROM_WIN32(code)));
}

[[noreturn]] void RaiseLastError() { RaisePlatformError(GetLastError()); }

[[noreturn]] void RaiseTimeout()
{
    automation::Raise(WSAETIMEDOUT, L"", support::GetErrorDescription(WSAETIMEDOUT));
}

void CheckCall(BOOL succeeded)
{
    if (!succeeded) RaiseLastError();
}

HANDLE NewManualResetEvent()
{
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event) RaiseLastError();
    return event;
}

void CloseIfSet(HANDLE& handle, HANDLE none)
{
    if (handle != none) CloseHandle(handle);
    handle = none;
}

// Binary, no flow control of any kind, DTR and RTS on (a pseudo-terminal
// has no modem lines; the driver ignores them there).
void SetLine(DCB& dcb, DWORD baud, BYTE parity, BYTE dataBits, BYTE stopBits)
{
    dcb.BaudRate = baud;
    dcb.fBinary = TRUE;
    dcb.fParity = parity != NOPARITY;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    dcb.ByteSize = dataBits;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
}

DWORD BitsPerByte(BYTE parity, BYTE dataBits, BYTE stopBits)
{
    return 1 + dataBits + (parity != NOPARITY ? 1 : 0) + (stopBits == ONESTOPBIT ? 1 : 2);
}

} // namespace

void SerialPort::Open(const std::wstring& devicePath, DWORD baud, BYTE parity, BYTE dataBits, BYTE stopBits)
{
    Close();
    port_ = CreateFileW(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
    if (port_ == INVALID_HANDLE_VALUE) RaiseLastError();
    try {
        Configure(baud, parity, dataBits, stopBits);
        readEvent_ = NewManualResetEvent();
        writeEvent_ = NewManualResetEvent();
    } catch (...) {
        Close();
        throw;
    }
}

void SerialPort::Configure(DWORD baud, BYTE parity, BYTE dataBits, BYTE stopBits)
{
    if (baud == 0) RaisePlatformError(ERROR_INVALID_PARAMETER);  // write time-outs divide by it
    CheckCall(SetupComm(port_, kQueueBytes, kQueueBytes));
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    CheckCall(GetCommState(port_, &dcb));
    SetLine(dcb, baud, parity, dataBits, stopBits);
    CheckCall(SetCommState(port_, &dcb));
    // All zero: a read pends until its whole count has arrived (frames are
    // read by length, never by gaps), a write until it is sent.
    COMMTIMEOUTS timeouts{};
    CheckCall(SetCommTimeouts(port_, &timeouts));
    CheckCall(PurgeComm(port_, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR));
    baud_ = baud;
    bitsPerByte_ = BitsPerByte(parity, dataBits, stopBits);
}

void SerialPort::Close() noexcept
{
    CancelRead();
    CloseIfSet(port_, INVALID_HANDLE_VALUE);
    CloseIfSet(readEvent_, nullptr);
    CloseIfSet(writeEvent_, nullptr);
}

void SerialPort::RequireOpen() const
{
    if (!IsOpen()) RaisePlatformError(ERROR_INVALID_HANDLE);
}

DWORD SerialPort::WriteTimeoutMs(size_t count) const
{
    const ULONGLONG lineMs = (static_cast<ULONGLONG>(count) * bitsPerByte_ * 1000 + baud_ - 1) / baud_;
    return static_cast<DWORD>(lineMs) + kWriteMarginMs;
}

void SerialPort::Write(std::span<const uint8_t> bytes)
{
    RequireOpen();
    OVERLAPPED write{};
    write.hEvent = writeEvent_;
    const DWORD count = static_cast<DWORD>(bytes.size());
    if (!WriteFile(port_, bytes.data(), count, nullptr, &write) && GetLastError() != ERROR_IO_PENDING)
        RaiseLastError();
    DWORD written = 0;
    if (WaitForSingleObject(writeEvent_, WriteTimeoutMs(count)) != WAIT_OBJECT_0) {
        CancelIoEx(port_, &write);
        GetOverlappedResult(port_, &write, &written, TRUE);  // the buffer is the caller's
        RaiseTimeout();
    }
    CheckCall(GetOverlappedResult(port_, &write, &written, FALSE));
    if (written != count) RaiseTimeout();
}

void SerialPort::StartRead(size_t count)
{
    RequireOpen();
    if (readPending_ || count == 0) automation::RaiseRuntime(automation::errInvalidCall);
    readBuffer_.resize(count);
    read_ = OVERLAPPED{};
    read_.hEvent = readEvent_;
    // Completed at once or pending, the event is signalled when it is done.
    if (!ReadFile(port_, readBuffer_.data(), static_cast<DWORD>(count), nullptr, &read_) &&
        GetLastError() != ERROR_IO_PENDING)
        RaiseLastError();
    readPending_ = true;
}

size_t SerialPort::FinishRead(std::vector<uint8_t>& into)
{
    if (!readPending_) automation::RaiseRuntime(automation::errInvalidCall);
    DWORD got = 0;
    if (!GetOverlappedResult(port_, &read_, &got, FALSE)) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE) return 0;
        readPending_ = false;
        RaisePlatformError(error);
    }
    readPending_ = false;
    into.insert(into.end(), readBuffer_.begin(), readBuffer_.begin() + got);
    return got;
}

void SerialPort::CancelRead() noexcept
{
    if (!readPending_) return;
    CancelIoEx(port_, &read_);
    DWORD ignored = 0;
    GetOverlappedResult(port_, &read_, &ignored, TRUE);
    readPending_ = false;
}

void SerialPort::Purge()
{
    RequireOpen();
    CheckCall(PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR));
}

} // namespace velkomb::client
