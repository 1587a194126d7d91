#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Character-level questions about UTF-8 text, answered by ICU so that "white space" and
// "character" mean what a user sees: a character is a grapheme cluster.
namespace quillo::unicode {

bool isValidUTF8(std::string_view text);

// The text with every ill-formed byte sequence replaced by U+FFFD.
std::string replacingInvalidUTF8(std::string_view text);

// The text without White_Space code points (spaces, tabs, line breaks, U+3000, ...) at either
// end. Inner characters remain. Ill-formed bytes count as not white space.
std::string_view trimmedWhitespace(std::string_view text);

// Whether the text holds at least `count` grapheme clusters; stops counting once it knows.
bool hasAtLeastGraphemes(std::string_view text, std::size_t count);

// The first `count` grapheme clusters of the text, or all of it when it is shorter. The cut
// always falls on a cluster boundary.
std::string_view graphemePrefix(std::string_view text, std::size_t count);

}  // namespace quillo::unicode
