// The simulator kit: the tokenizer of cue lines and the command-line options.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "kit/args.h"
#include "kit/words.h"

using Texts = std::vector<std::string>;

TEST(SimKit, Words) {
    struct Case {
        const char* line;
        size_t max;
        const char* blanks;
        Texts words;
    } cases[] = {
        {" a \t b\r\n", 0, " \t\n\v\f\r", {"a", "b"}},                 // runs of any blank
        {"set L  two  words ", 3, " ", {"set", "L", " two  words "}},  // the rest as it is
        {"badsum L", 3, " ", {"badsum", "L"}},                         // fewer words: no empty rest
        {"a\tb c", 2, " ", {"a\tb", "c"}},                             // only the blanks given part
        {"say 'a b'", 0, " ", {"say", "'a", "b'"}},                    // a quote is no quote
        {"   ", 3, " ", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(simkit::Words(c.line, c.max, c.blanks), c.words) << '"' << c.line << '"';
    }
    EXPECT_EQ(simkit::Split("1,,2,", ','), (Texts{"1", "", "2"}));
    EXPECT_EQ(simkit::Split(",", ','), (Texts{""}));
}

TEST(SimKit, Arguments) {
    struct Case {
        Texts args;
        std::optional<int> leave;
        const char* said;  // the start of what goes to standard error
        const char* link;
        bool fast;
    } cases[] = {
        {{"--link", "a", "--fast"}, std::nullopt, "", "a", true},
        {{"--link", "a", "--link", "b"}, std::nullopt, "", "b", false},
        {{"--link", "--fast"}, std::nullopt, "", "--fast", false},  // the next one, whatever it is
        {{"--fast", "--link"}, 2, "sim: --link needs a value\nusage", "", true},
        {{"--fast", "x", "--help"}, 2, "sim: unknown argument x\nusage", "", true},
        {{"-h", "--bogus"}, 0, "", "", false},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv{"sim"};
        for (const std::string& arg : c.args) {
            argv.push_back(arg.c_str());
        }
        std::string link;
        bool fast = false;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        std::optional<int> leave =
            simkit::ParseArguments("sim", "usage\n", static_cast<int>(argv.size()), argv.data(),
                                   {simkit::Text("--link", &link), simkit::Flag("--fast", &fast)});
        std::string said = testing::internal::GetCapturedStderr();
        std::string help = testing::internal::GetCapturedStdout();
        std::string what = c.args.back();
        EXPECT_EQ(leave, c.leave) << what;
        EXPECT_EQ(said.rfind(c.said, 0), 0u) << what << ": " << said;
        EXPECT_EQ(help, c.leave == 0 ? "usage\n" : "") << what;
        EXPECT_EQ(link, c.link) << what;
        EXPECT_EQ(fast, c.fast) << what;
    }
}
