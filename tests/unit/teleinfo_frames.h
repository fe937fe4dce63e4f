// Teleinfo groups and frames as a meter puts them on the line, for the tests. The checksum is
// worked out here from the line rules, so the tests do not trust the decoder's own.
#pragma once

#include <string>

inline char Sum(const std::string& label, const std::string& value) {
    unsigned sum = 0x20;
    for (unsigned char c : label + value) {
        sum += c;
    }
    return static_cast<char>((sum & 0x3F) + 0x20);
}

inline std::string Group(const std::string& label, const std::string& value) {
    return "\n" + label + " " + value + " " + Sum(label, value) + "\r";
}

inline std::string Frame(const std::string& groups) {
    return "\x02" + groups + "\x03";
}
