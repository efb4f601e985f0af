// Byte images of fixed-width values, in the platform's (little-endian) byte
// order. Free of platform headers, so it can be built and fuzzed anywhere.
#pragma once
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace velkomb::socket {

template <class T>
std::string ImageOf(T value)
{
    static_assert(std::is_trivially_copyable_v<T>);
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// The T whose image starts the chunk: bytes the chunk lacks count as zero,
// bytes beyond the width are dropped, nothing past the chunk is read.
template <class T>
T ValueOfPrefix(std::string_view chunk)
{
    static_assert(std::is_trivially_copyable_v<T>);
    T value{};
    if (!chunk.empty()) std::memcpy(&value, chunk.data(), std::min(chunk.size(), sizeof value));
    return value;
}

} // namespace velkomb::socket
