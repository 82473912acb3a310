// Text and number helpers shared by every subsystem.
//
// Texts are byte strings, one byte per character; letter case is ASCII only.
// Numbers read from text follow one rule everywhere: the number at the start of
// the text (leading blanks skipped, optional sign, digits, optional fraction and
// exponent), 0 when the text does not start with one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

std::string ToLower(std::string_view s);
std::string ToUpper(std::string_view s);
bool EqualsNoCase(std::string_view a, std::string_view b);

// Position of the first occurrence of `needle` in `hay` at or after `from`,
// ignoring letter case; npos when absent.
std::size_t FindNoCase(std::string_view hay, std::string_view needle, std::size_t from = 0);
bool ContainsNoCase(std::string_view hay, std::string_view needle);

// Removes leading and trailing space characters (U+0020 only; tabs stay).
std::string_view TrimSpaces(std::string_view s);

// Splits at every occurrence of `sep`; an empty text gives one empty item.
std::vector<std::string> Split(std::string_view s, std::string_view sep);
std::string Join(const std::vector<std::string>& items, std::string_view sep);
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);

// `s` right-aligned in a field of `width` characters, padded with spaces on the
// left; a longer text is returned whole.
std::string PadLeft(std::string_view s, std::size_t width);

// The number at the start of the text, or 0.
double LeadingNumber(std::string_view s);

// Rounds to the nearest whole number, halves to the even neighbour.
double RoundHalfEven(double v);

// The leading number rounded half to even, when it fits a 32-bit signed
// integer; nothing when it overflows (as the conversion would fail).
std::optional<std::int32_t> LeadingInt32(std::string_view s);

// Decimal text of a number.
std::string Dec(std::int64_t v);

}  // namespace tessaly

namespace tessaly {

// Adds 1 to a 32-bit counter, wrapping to the most negative value after the
// largest instead of overflowing.
inline void Increment(std::int32_t& counter) {
  counter = static_cast<std::int32_t>(static_cast<std::uint32_t>(counter) + 1u);
}

}  // namespace tessaly
