// Uni-Telway bytes as the bus master puts them on the line, built here from the frame rules and
// not with the link's own encoder, for the tests of the slave link and of busbridge's exchanges.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace utwtest {

inline std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out += static_cast<char>(v);
    }
    return out;
}

inline const std::string kAck = Bytes({0x06});
inline const std::string kNak = Bytes({0x15});
inline const std::string kEot = Bytes({0x04});

inline std::string Poll(int address) {
    return Bytes({0x10, 0x05, address});
}

// DLE STX, address, length, data with every DLE doubled (the length too), then the sum of all
// of it as the BCC, plus `bccDelta` for a damaged one.
inline std::string Frame(int address, const std::string& data, int bccDelta = 0) {
    std::string out = Bytes({0x10, 0x02, address});
    auto put = [&out](char c) {
        out += c;
        if (static_cast<uint8_t>(c) == 0x10) {
            out += c;
        }
    };
    put(static_cast<char>(data.size()));
    for (char c : data) {
        put(c);
    }
    unsigned sum = 0;
    for (char c : out) {
        sum += static_cast<uint8_t>(c);
    }
    out += static_cast<char>((sum + static_cast<unsigned>(bccDelta)) & 0xFF);
    return out;
}

inline std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : bytes) {
        uint8_t b = static_cast<uint8_t>(c);
        if (!out.empty()) {
            out += ' ';
        }
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

}  // namespace utwtest
