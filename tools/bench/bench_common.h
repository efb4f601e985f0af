// What the Windows bench programs share: the handshake with the driver
// (bench.py), the per-transaction clock and the result line.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

namespace bench {

// Prints `word` on stdout and waits for a line on stdin: the driver reads the
// CPU counters of this process and the wineserver in between.
void Checkpoint(const char* word);

// Seconds on the performance counter.
double Now();

// The latency of every transaction of the measured loop.
class Latencies {
public:
    explicit Latencies(size_t count) { seconds_.reserve(count); }
    void add(double seconds) { seconds_.push_back(seconds); }
    // "n", "seconds", "tx_per_s", "mean_us", "median_us", "p99_us", "max_us"
    // as JSON members: the latencies are those of the samples added, n and
    // tx_per_s count `transactionsPerSample` transactions in each.
    std::string json(double elapsed, long transactionsPerSample = 1) const;

private:
    std::vector<double> seconds_;
};

// Private bytes and open handles of this process.
struct ProcessFootprint {
    size_t privateBytes;
    DWORD handles;
};
ProcessFootprint Footprint();

// Prints `result {members}` and flushes.
void PrintResult(const std::string& members);

// The value following `name` among the arguments, or `fallback`.
long Option(int argc, wchar_t** argv, const wchar_t* name, long fallback);
std::wstring TextOption(int argc, wchar_t** argv, const wchar_t* name, const wchar_t* fallback);

} // namespace bench
