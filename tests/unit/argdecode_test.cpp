// Start arguments: Key=Value items and @file items.
#include "argdecode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sandbox.h"

namespace {

// An argv built from strings, terminated by a null item as the system gives it.
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
    EXPECT_EQ(GetArgumentStr(args.argc(), args.argv(), "Port", value, 31), 1);
    EXPECT_STREQ(value, "2");
    EXPECT_EQ(ValueArgumentDecode(args.argc(), args.argv(), "To"), 12);
    EXPECT_EQ(ValueArgumentDecode(args.argc(), args.argv(), "Port"), 2);
    EXPECT_EQ(ValueArgumentDecode(args.argc(), args.argv(), "From"), -1);
    FreeArgDecode();
}

TEST(ArgDecode, MatchingRules) {
    struct Case {
        std::vector<std::string> items;
        const char* key;
        int length;
        int index;
        const char* value;
    } cases[] = {
        {{"m", "PortA=1"}, "Port", 19, 1, "1"},         // the key is a prefix of the item
        {{"m", "Port"}, "Port", 19, -1, ""},            // no '=': not an item
        {{"m", "Port", "Port=4"}, "Port", 19, 2, "4"},  // ... and the search goes on
        {{"m", "Po=1"}, "Port", 19, -1, ""},            // item shorter than the key
        {{"m", "Ip=a=b"}, "Ip", 19, 1, "a=b"},          // value after the first '='
        {{"m", "Name=abcdefgh"}, "Name", 3, 1, "abc"},  // cut at length
        {{"m", "Name="}, "Name", 19, 1, ""},            // empty value
        {{"m", "A=1", "A=2"}, "A", 19, 1, "1"},         // the first match wins
        {{"Port=1"}, "Port", 19, -1, ""},               // argv[0] is the program
    };
    for (Case& c : cases) {
        Argv args(c.items);
        char value[32] = "";
        EXPECT_EQ(GetArgumentStr(args.argc(), args.argv(), c.key, value, c.length), c.index)
            << c.items.back() << " / " << c.key;
        if (c.index >= 0) {
            EXPECT_STREQ(value, c.value) << c.items.back();
        }
    }
}

TEST(ArgDecode, StopsAtTheFirstNullItem) {
    Argv args({"m", "A=1", "B=2"});
    args.pointers[1] = nullptr;
    EXPECT_EQ(GetArgumentStr(args.argc(), args.argv(), "B", nullptr, 0), -1);
}

TEST(ArgDecode, CharAndValueDecoding) {
    Argv args({"m", "Mode=Xyz", "N=-7"});
    EXPECT_EQ(CharArgumentDecode(args.argc(), args.argv(), "Mode"), 'X');
    EXPECT_EQ(CharArgumentDecode(args.argc(), args.argv(), "Absent"), 0);
    EXPECT_EQ(ValueArgumentDecode(args.argc(), args.argv(), "N"), -7);
    EXPECT_EQ(ValueArgumentDecode(args.argc(), args.argv(), "Absent"), -1);
}

TEST(ArgDecode, ValuesAreReadAsDecimalIntegers) {
    struct Case {
        const char* item;
        int value;
    } cases[] = {
        {"Port=13", 13},
        {"Port=+3", 3},
        {"Port= 5", 5},
        {"Port=0x10", 0},
        {"Port=abc", 0},
        {"Port=", 0},
        {"Port=12abc", 12},
        {"Port=4294967297", 2147483647},  // 2^32 + 1 is not port 1
        {"Port=-4294967295", -2147483647 - 1},
        {"Port=00000000000000000007", 0},  // the value is cut at 19 characters
    };
    for (const Case& c : cases) {
        Argv args({"m", c.item});
        EXPECT_EQ(ValueArgumentDecode(args.argc(), args.argv(), "Port"), c.value) << c.item;
    }
}

TEST(ArgDecode, UnreadableFilesAreSkippedWithTheirReason) {
    Sandbox box;
    box.WriteFile("/tmp/small", "A\n");
    box.WriteFile("/tmp/good", "# comment\nSpeed=9600\nMode=7\n");
    Argv args({"m", "@/tmp/small", "@/tmp/none", "@/tmp/good"});
    char value[32];
    EXPECT_EQ(GetArgumentStr(args.argc(), args.argv(), "Mode", value, 31), 3);
    EXPECT_STREQ(value, "7\n");
    EXPECT_TRUE(box.LogHas("divers.lib : taille /tmp/small <3", "err"));
    EXPECT_TRUE(box.LogHas("divers.lib : erreur lecture taille /tmp/none=2", "err"));
    FreeArgDecode();
}

TEST(ArgDecode, LongLinesOfALargerFileAreReadWhole) {
    Sandbox box;
    box.WriteFile("/tmp/a", "X=1\n");
    std::string longValue(3000, 'v');
    box.WriteFile("/tmp/b", "Text=" + longValue + "\nY=2\n");
    Argv args({"m", "@/tmp/a", "@/tmp/b"});
    std::vector<char> value(4000);
    EXPECT_EQ(GetArgumentStr(args.argc(), args.argv(), "X", value.data(), 3999), 1);
    EXPECT_EQ(GetArgumentStr(args.argc(), args.argv(), "Text", value.data(), 3999), 2);
    EXPECT_EQ(std::string(value.data()), longValue + "\n");
    EXPECT_EQ(ValueArgumentDecode(args.argc(), args.argv(), "Y"), 2);
    FreeArgDecode();
    EXPECT_EQ(ValueArgumentDecode(args.argc(), args.argv(), "Y"), 2);  // usable after a free
    FreeArgDecode();
}

TEST(ArgDecodeDeathTest, NullKeyIsFatal) {
    Sandbox box;
    Argv args({"m", "A=1"});
    EXPECT_DEATH(GetArgumentStr(args.argc(), args.argv(), nullptr, nullptr, 0), "");
    ASSERT_EQ(box.LogLines().size(), 1u) << box.Log();
    const std::string line = box.LogLines()[0];
    EXPECT_EQ(line.rfind("crit ", 0), 0u) << line;
    EXPECT_NE(line.find("]: pointeur nul a la ligne No "), std::string::npos) << line;
    EXPECT_NE(line.find(" du fichier argdecode "), std::string::npos) << line;
}
