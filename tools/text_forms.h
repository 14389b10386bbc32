// How quillstore shows the bytes of keys and values: for people, escaped for scripts, as hex.
#ifndef QUILLSTORE_TOOLS_TEXT_FORMS_H
#define QUILLSTORE_TOOLS_TEXT_FORMS_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quill {

// The length of the well-formed UTF-8 sequence at the start of sv (1 to 4), or 0 when it starts
// with a byte that begins none: a stray continuation, an overlong form, a surrogate, a code
// point above U+10FFFF or a sequence cut short.
size_t Utf8SequenceLength(std::string_view sv);
// True iff every byte of sv belongs to a well-formed UTF-8 sequence.
bool IsUtf8(std::string_view sv);

// For a terminal: well-formed UTF-8 as it is, a backslash doubled; a tab, carriage return and
// line feed as \t, \r, \n; other control characters (C0, DEL, C1), the invisible separators
// U+2028, U+2029 and U+FEFF, and bytes of ill-formed sequences as \xHH, one a byte. UnEscape
// undoes it.
std::string ForPeople(std::string_view sv);
// Printable ASCII as it is, a backslash doubled, a tab, carriage return and line feed as \t,
// \r, \n, every other byte \xHH: one form for every byte string, which UnEscape undoes.
std::string Escaped(std::string_view sv);
// The bytes of an Escaped text, or nothing when it is not one.
std::optional<std::string> UnEscape(std::string_view sv);
// Two lower-case hex digits a byte.
std::string Hex(std::string_view sv);
// The bytes of pairs of hex digits (either case), or nothing when sv is not such pairs.
std::optional<std::string> Unhex(std::string_view sv);

// The 1-based column of the byte at uiOffset of a line, counting characters: a well-formed UTF-8
// sequence is one column, every other byte one column each.
size_t ColumnOf(std::string_view svLine, size_t uiOffset);

}  // namespace quill

#endif
