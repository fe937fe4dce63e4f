#include "kit/args.h"

#include <cstdio>
#include <cstring>

namespace simkit {

Option Text(const char* name, std::string* into) {
    return {name, true, [into](const std::string& value) { *into = value; }};
}

Option Flag(const char* name, bool* into) {
    return {name, false, [into](const std::string&) { *into = true; }};
}

std::optional<int> ParseArguments(const char* program, const char* usage, int argc,
                                  const char* const* argv, const std::vector<Option>& options) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(usage, stdout);
            return 0;
        }
        const Option* found = nullptr;
        for (const Option& option : options) {
            if (strcmp(arg, option.name) == 0) {
                found = &option;
                break;
            }
        }
        if (found == nullptr) {
            fprintf(stderr, "%s: unknown argument %s\n%s", program, arg, usage);
            return 2;
        }
        if (!found->hasValue) {
            found->take("");
        } else if (i + 1 >= argc) {
            fprintf(stderr, "%s: %s needs a value\n%s", program, arg, usage);
            return 2;
        } else {
            found->take(argv[++i]);
        }
    }
    return std::nullopt;
}

}  // namespace simkit
