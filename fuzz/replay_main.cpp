// Replays a fuzz target's committed corpus: fuzz_replay <target> <files or folders>. Every file
// under the given folders (or each file given) goes once through the target. A crash fails the
// ctest case.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_targets.h"

static int Replay(const FuzzTarget& target, const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    target.run(bytes.data(), bytes.size());
    return 0;
}

int main(int argc, char** argv) {
    const FuzzTarget* target = kFuzzTargets;
    while (argc > 1 && target->name != nullptr && std::strcmp(target->name, argv[1]) != 0) {
        ++target;
    }
    if (argc < 2 || target->name == nullptr) {
        std::fprintf(stderr, "usage: fuzz_replay <target> <files or folders>; targets:");
        for (const FuzzTarget* t = kFuzzTargets; t->name != nullptr; ++t) {
            std::fprintf(stderr, " %s", t->name);
        }
        std::fprintf(stderr, "\n");
        return 2;
    }
    int count = 0;
    int failures = 0;
    for (int i = 2; i < argc; ++i) {
        std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    failures += Replay(*target, entry.path());
                    ++count;
                }
            }
        } else {
            failures += Replay(*target, arg);
            ++count;
        }
    }
    std::printf("replayed %d inputs\n", count);
    return failures == 0 && count > 0 ? 0 : 1;
}
