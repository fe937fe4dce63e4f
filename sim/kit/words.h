// The tokenizer of script, cue and command lines.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace simkit {

// The words of a line, split at runs of blanks. With max > 0 there are at most max words: the
// last is the rest of the line after the blank that ends the word before it, blanks included, so
// that a value may hold spaces. No quoting: a quote is a character like any other.
std::vector<std::string> Words(const std::string& line, size_t max = 0,
                               const char* blanks = " \t\n\v\f\r");

// The items of a list, e.g. "1,2,3" at ','. Between two separators stands an empty item; a
// separator at the end ends the list without one.
std::vector<std::string> Split(const std::string& text, char separator);

}  // namespace simkit
