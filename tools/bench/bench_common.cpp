#include "tools/bench/bench_common.h"
#include <psapi.h>
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

double Now()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

std::string Latencies::json(double elapsed) const
{
    std::vector<double> sorted = seconds_;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    const double mean = n ? std::accumulate(sorted.begin(), sorted.end(), 0.0) / n : 0;
    const double p99 = n ? sorted[std::min(n - 1, n * 99 / 100)] : 0;
    const double max = n ? sorted.back() : 0;
    char text[256];
    std::snprintf(text, sizeof text,
                  "\"n\": %zu, \"seconds\": %.6f, \"tx_per_s\": %.1f, \"mean_us\": %.2f, \"p99_us\": %.2f, "
                  "\"max_us\": %.1f",
                  n, elapsed, elapsed > 0 ? n / elapsed : 0, mean * 1e6, p99 * 1e6, max * 1e6);
    return text;
}

ProcessFootprint Footprint()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof counters);
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    return {counters.PrivateUsage, handles};
}

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
