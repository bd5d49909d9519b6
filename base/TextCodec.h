#pragma once

#include <string>
#include <string_view>

// Texts of the module and of the window's fields are byte strings in code
// page 949 (ASCII in its lower half, Korean in two-byte sequences). These
// convert between them and UTF-8. Bytes that are not valid CP949 come out as
// U+FFFD; characters CP949 cannot hold go in as '?'. Nothing after a bad
// sequence is lost.
namespace vendrill {

bool IsAscii(std::string_view bytes);
std::string Cp949ToUtf8(std::string_view cp949);
std::string Utf8ToCp949(std::string_view utf8);

// Length of the valid UTF-8 sequence at text[k], 0 when none starts there
// (a stray byte, an overlong or truncated sequence, a surrogate).
std::size_t Utf8Length(std::string_view text, std::size_t k);
// The code point of the UTF-8 sequence at text[k] and its length; U+FFFD and
// one byte for anything that is not a valid sequence.
char32_t DecodeUtf8(std::string_view text, std::size_t k, std::size_t* length);
// The UTF-8 bytes of a code point (U+FFFD for one that is no character).
std::string EncodeUtf8(char32_t c);
// The text with every byte that is not part of valid UTF-8, and every NUL,
// as U+FFFD: what a database that keeps UTF-8 text will take.
std::string ValidUtf8(std::string_view text);

// True when the CP949 bytes convert without a replacement character.
bool IsValidCp949(std::string_view cp949);

// UTF-8 text in the character set of the current locale (LC_CTYPE), for a
// terminal. A UTF-8 locale gets the text as it is; a plain ASCII one (the C
// locale) gets \uXXXX (\UXXXXXXXX) for every other character; characters
// another charset cannot hold become '?'.
std::string Utf8ToLocale(std::string_view utf8);

}  // namespace vendrill
