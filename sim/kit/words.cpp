#include "kit/words.h"

namespace simkit {

std::vector<std::string> Words(const std::string& line, size_t max, const char* blanks) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size() && (max == 0 || words.size() + 1 < max)) {
        i = line.find_first_not_of(blanks, i);
        if (i == std::string::npos) {
            return words;
        }
        size_t end = line.find_first_of(blanks, i);
        words.push_back(line.substr(i, end == std::string::npos ? std::string::npos : end - i));
        i = end == std::string::npos ? line.size() : end + 1;
    }
    if (i < line.size()) {
        words.push_back(line.substr(i));
    }
    return words;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            end = text.size();
        }
        items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

}  // namespace simkit
