// Placeholder expansion of the agent's policy URL templates.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// The text a placeholder's NAME stands for. It must hold neither "[" nor
// ":" (URL-encoded values never do): the one-pass scan relies on it.
using PlaceholderValue = std::function<std::u16string(std::u16string_view name)>;

// Replaces "[%set:NAME%]" placeholders (NAME: the shortest text up to "%]",
// without a line terminator) with the same result as searching the whole
// text again from its start after each replacement, in time linear in the
// text and the inserted values. Stops as soon as the part of the text that
// can no longer change needs field_size bytes of UTF-8 or more: out is then
// that part, cut just past the unit that reached field_size bytes, and the
// result is false. Otherwise out is the expanded text and the result true.
bool ExpandPlaceholders(std::u16string_view text, const PlaceholderValue& value_of, size_t field_size,
                        std::u16string& out);
