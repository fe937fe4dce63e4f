// Start arguments: Key=Value items and @file items.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "argdecode.h"
#include "sandbox.h"

namespace {

struct Argv {
    std::vector<std::string> items;
    std::vector<char*> pointers;
    explicit Argv(std::vector<std::string> list) : items(std::move(list)) {
        for (std::string& item : items) {
            pointers.push_back(item.data());
        }
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(items.size()); }
    char** argv() { return pointers.data(); }
};

}  // namespace

TEST(ArgDecode, ItemsAndFileLines) {
    Sandbox box;
    box.WriteFile("/tmp/args", "To=12\n");
    Argv args({"module", "Port=2", "@/tmp/args"});
    char value[32];
    EXPECT_EQ(GetArgumentStr(args.argc(), args.argv(), "To", value, 31), 2);
    EXPECT_STREQ(value, "12\n");
    EXPECT_EQ(ValueArgumentDecode(args.argc(), args.argv(), "To"), 12);
    EXPECT_EQ(ValueArgumentDecode(args.argc(), args.argv(), "Port"), 2);
    EXPECT_EQ(ValueArgumentDecode(args.argc(), args.argv(), "From"), -1);
    FreeArgDecode();
}
