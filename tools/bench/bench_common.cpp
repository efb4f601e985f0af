#include "tools/bench/bench_common.h"
#include <winternl.h>
#include "support/clock.h"
#include <algorithm>
#include <cstdio>
#include <numeric>

namespace bench {

void Checkpoint(const char* word)
{
    std::printf("%s\n", word);
    std::fflush(stdout);
    char line[64];
    if (!std::fgets(line, sizeof line, stdin)) ExitProcess(3);  // the driver went away
}

double Now() { return velkomb::support::MonotonicSeconds(); }

std::string Latencies::json(double elapsed, long transactionsPerSample) const
{
    std::vector<double> sorted = seconds_;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    const size_t transactions = n * transactionsPerSample;
    const double mean = n ? std::accumulate(sorted.begin(), sorted.end(), 0.0) / n : 0;
    const double p50 = n ? sorted[n / 2] : 0;
    const double p99 = n ? sorted[std::min(n - 1, n * 99 / 100)] : 0;
    const double max = n ? sorted.back() : 0;
    char text[256];
    std::snprintf(text, sizeof text,
                  "\"n\": %zu, \"seconds\": %.6f, \"tx_per_s\": %.1f, \"mean_us\": %.2f, \"median_us\": %.2f, "
                  "\"p99_us\": %.2f, \"max_us\": %.1f",
                  transactions, elapsed, elapsed > 0 ? transactions / elapsed : 0, mean * 1e6, p50 * 1e6, p99 * 1e6,
                  max * 1e6);
    return text;
}

namespace {

// The system handle table's entries (the information class is documented
// only in part, so the shape is declared here).
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
constexpr auto kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

// The table lives outside the heaps, so sampling leaves them as they were.
class PageBuffer {
public:
    explicit PageBuffer(size_t size) : size_(size), data_(VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE)) {}
    ~PageBuffer() { VirtualFree(data_, 0, MEM_RELEASE); }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    void* data() const { return data_; }
    ULONG size() const { return static_cast<ULONG>(size_); }

private:
    size_t size_;
    void* data_;
};

DWORD OpenHandles()
{
    for (size_t size = 1 << 16; size <= (1 << 26); size *= 2) {
        PageBuffer buffer(size);
        NTSTATUS status = NtQuerySystemInformation(kSystemHandleInformation, buffer.data(), buffer.size(), nullptr);
        if (status == kInfoLengthMismatch) continue;
        if (status != 0) return 0;
        const auto* table = static_cast<const HandleTable*>(buffer.data());
        DWORD own = 0;
        for (ULONG i = 0; i < table->count; ++i) own += table->entries[i].ownerPid == GetCurrentProcessId();
        return own;
    }
    return 0;
}

// Committed private memory, region by region: what Private Bytes counts.
size_t PrivateBytes()
{
    size_t total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* address = nullptr; VirtualQuery(address, &region, sizeof region) == sizeof region;) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= address) break;
        address = next;
    }
    return total;
}

} // namespace

// GetProcessMemoryInfo's PrivateUsage and GetProcessHandleCount give 0 under
// Wine 8; these two give the same figures on both.
ProcessFootprint Footprint() { return {PrivateBytes(), OpenHandles()}; }

void PrintResult(const std::string& members)
{
    std::printf("result {%s}\n", members.c_str());
    std::fflush(stdout);
}

std::wstring TextOption(int argc, wchar_t** argv, const wchar_t* name, const wchar_t* fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::wstring(argv[i]) == name) return argv[i + 1];
    return fallback;
}

long Option(int argc, wchar_t** argv, const wchar_t* name, long fallback)
{
    std::wstring text = TextOption(argc, argv, name, L"");
    return text.empty() ? fallback : std::wcstol(text.c_str(), nullptr, 10);
}

} // namespace bench
