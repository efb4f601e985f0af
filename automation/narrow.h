// Text and bytes through the narrow (ANSI) code page, one byte per character.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace automation {

std::string NarrowOf(std::wstring_view text);
std::wstring WideOf(std::string_view bytes);

} // namespace automation
