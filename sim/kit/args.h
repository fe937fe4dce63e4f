// Command-line options of a simulator: a table of names, each with what to do with its value.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace simkit {

// One option. A flag (hasValue false) has take called with an empty text; any other option takes
// the next argument as its value.
struct Option {
    const char* name;
    bool hasValue;
    std::function<void(const std::string& value)> take;
};

// An option whose value is kept as it is.
Option Text(const char* name, std::string* into);
// A flag that sets *into.
Option Flag(const char* name, bool* into);

// Reads argv[1..] in order against the options; --help and -h print the usage on standard output.
// Nothing when the program goes on; otherwise the exit status to leave with: 0 after the help, 2
// after an unknown argument or an option without its value (said on standard error, with the
// usage, after the program's name).
std::optional<int> ParseArguments(const char* program, const char* usage, int argc,
                                  const char* const* argv, const std::vector<Option>& options);

}  // namespace simkit
