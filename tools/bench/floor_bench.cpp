// The floors under Wine: a bare Win32 Modbus/TCP client that reads 10
// holding registers per transaction, one outstanding, either with blocking
// Winsock or with WSAAsyncSelect and a message loop (what the component's
// socket does underneath).
//   floor_bench.exe --mode blocking|async [--count N] [--warmup N]
#include <winsock2.h>
#include <windows.h>
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include "tools/bench/bench_common.h"

namespace {

constexpr UINT kSocketMessage = WM_APP + 1;
constexpr int kReplySize = 9 + 2 * 10;
constexpr DWORD kReplyTimeoutMs = 3000;

// Read holding registers 0..9 of unit 1.
constexpr std::array<char, 12> kRequest = {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 10};

struct Reply {
    std::array<char, 512> bytes;
    int length = 0;
    bool complete() const { return length >= kReplySize; }
    bool valid() const
    {
        auto u8 = [&](int i) { return static_cast<uint8_t>(bytes[i]); };
        return u8(7) == 3 && u8(8) == 20 && (u8(9) << 8 | u8(10)) == 1000 && (u8(27) << 8 | u8(28)) == 1009;
    }
};

SOCKET ConnectedSocket()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in device{};
    device.sin_family = AF_INET;
    device.sin_port = htons(502);
    device.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&device), sizeof device) != 0) {
        std::fprintf(stderr, "connect failed: %d\n", WSAGetLastError());
        ExitProcess(2);
    }
    return s;
}

class Transport {
public:
    virtual ~Transport() = default;
    // Sends the request and returns once the whole reply is in `reply`.
    virtual bool Transact(Reply& reply) = 0;
};

class BlockingTransport final : public Transport {
public:
    explicit BlockingTransport(SOCKET s) : socket_(s) {}
    bool Transact(Reply& reply) override
    {
        reply.length = 0;
        if (send(socket_, kRequest.data(), kRequest.size(), 0) != static_cast<int>(kRequest.size())) return false;
        while (!reply.complete()) {
            int got = recv(socket_, reply.bytes.data() + reply.length, reply.bytes.size() - reply.length, 0);
            if (got <= 0) return false;
            reply.length += got;
        }
        return true;
    }

private:
    SOCKET socket_;
};

class AsyncTransport final : public Transport {
public:
    explicit AsyncTransport(SOCKET s) : socket_(s)
    {
        window_ = CreateWindowExW(0, L"STATIC", L"floor", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc));
        WSAAsyncSelect(socket_, window_, kSocketMessage, FD_READ | FD_WRITE | FD_CLOSE);
    }
    bool Transact(Reply& reply) override
    {
        reply.length = 0;
        current_ = &reply;
        if (send(socket_, kRequest.data(), kRequest.size(), 0) != static_cast<int>(kRequest.size())) return false;
        const double deadline = bench::Now() + kReplyTimeoutMs / 1000.0;
        for (;;) {
            MSG message;
            while (!reply.complete() && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
            if (reply.complete()) return true;
            if (bench::Now() > deadline) return false;
            MsgWaitForMultipleObjectsEx(0, nullptr, kReplyTimeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        }
    }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto* self = reinterpret_cast<AsyncTransport*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == kSocketMessage && WSAGETSELECTEVENT(lParam) == FD_READ) self->Receive();
        return message == kSocketMessage ? 0 : DefWindowProcW(window, message, wParam, lParam);
    }
    void Receive()
    {
        Reply& reply = *current_;
        int got = recv(socket_, reply.bytes.data() + reply.length, reply.bytes.size() - reply.length, 0);
        if (got > 0) reply.length += got;
    }

    SOCKET socket_;
    HWND window_;
    Reply* current_ = nullptr;
};

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = bench::TextOption(argc, argv, L"--mode", L"blocking");
    const long count = bench::Option(argc, argv, L"--count", 20000);
    const long warmup = bench::Option(argc, argv, L"--warmup", 200);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = ConnectedSocket();
    std::unique_ptr<Transport> transport;
    if (mode == L"async")
        transport = std::make_unique<AsyncTransport>(s);
    else
        transport = std::make_unique<BlockingTransport>(s);

    Reply reply;
    long failures = 0;
    for (long i = 0; i < warmup; ++i) failures += !(transport->Transact(reply) && reply.valid());
    bench::Checkpoint("ready");
    bench::Latencies latencies(count);
    const double start = bench::Now();
    for (long i = 0; i < count; ++i) {
        const double t0 = bench::Now();
        failures += !(transport->Transact(reply) && reply.valid());
        latencies.add(bench::Now() - t0);
    }
    const double elapsed = bench::Now() - start;
    bench::Checkpoint("done");
    bench::PrintResult(latencies.json(elapsed) + ", \"failures\": " + std::to_string(failures));
    closesocket(s);
    WSACleanup();
    return failures ? 1 : 0;
}
