// The fixed-width byte images that GetData, PeekData and SendData use: a value
// read from any chunk gives back the chunk's first bytes, zero-filled to the
// width, and nothing beyond the chunk is read (libFuzzer hands over an
// exact-size copy, so the address sanitizer sees any over-read).
#include <cstdint>
#include <cstdlib>
#include <string>
#include "socket/fixed_image.h"

namespace {

template <class T>
void RoundTrip(std::string_view chunk)
{
    const T value = velkomb::socket::ValueOfPrefix<T>(chunk);
    std::string expected(chunk.substr(0, sizeof(T)));
    expected.resize(sizeof(T), '\0');
    if (velkomb::socket::ImageOf(value) != expected) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view chunk(reinterpret_cast<const char*>(data), size);
    // The widths of Byte, Boolean and Integer, Long, Single, Double, Date and Currency.
    RoundTrip<uint8_t>(chunk);
    RoundTrip<int16_t>(chunk);
    RoundTrip<int32_t>(chunk);
    RoundTrip<float>(chunk);
    RoundTrip<double>(chunk);
    RoundTrip<int64_t>(chunk);
    return 0;
}
