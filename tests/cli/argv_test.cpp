// The argument splitter: quoting rules, the second word's position, limits and another().
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "child.h"
#include "zncli.h"

namespace {

struct Split {
    std::vector<std::string> words;
    char *rest = nullptr;
    bool terminated = false; // the vector ends with a null pointer
};

Split split(char *line) {
    Split s;
    int argc = -1;
    char **argv = nmakeargv(line, &argc, &s.rest);
    for (int i = 0; i < argc; ++i)
        s.words.emplace_back(argv[i]);
    s.terminated = argv[argc] == nullptr;
    return s;
}

using Words = std::vector<std::string>;

TEST(Splitter, BlankLinesHaveNoWords) {
    for (const char *text : {"", "   ", " \t \t"}) {
        std::string line = text;
        const Split s = split(line.data());
        EXPECT_EQ(s.words, Words{}) << '"' << text << '"';
        EXPECT_TRUE(s.terminated);
        EXPECT_EQ(s.rest, nullptr);
    }
}

TEST(Splitter, OneWordHasNoSecondWordPosition) {
    char line[] = "help";
    const Split s = split(line);
    EXPECT_EQ(s.words, Words{"help"});
    EXPECT_TRUE(s.terminated);
    EXPECT_EQ(s.rest, nullptr);
}

TEST(Splitter, SecondWordPositionReadsAsTheRestOfTheLine) {
    char line[] = "  show   all  ";
    const Split s = split(line);
    EXPECT_EQ(s.words, (Words{"show", "all"}));
    ASSERT_NE(s.rest, nullptr);
    EXPECT_STREQ(s.rest, "all  ");
    EXPECT_EQ(s.rest, line + 9);
    EXPECT_STREQ(line, "  show   all  ") << "the caller's line is never changed";
}

TEST(Splitter, TabsSeparateLikeBlanks) {
    char line[] = "a\tb\t\tc";
    EXPECT_EQ(split(line).words, (Words{"a", "b", "c"}));
}

TEST(Splitter, QuotesGroupAndJoinWithUnquotedPieces) {
    char grouped[] = "say \"hello world\"";
    EXPECT_EQ(split(grouped).words, (Words{"say", "hello world"}));
    char joined[] = "a\"b c\"d";
    EXPECT_EQ(split(joined).words, Words{"ab cd"});
    char unclosed[] = "x \"runs  to the end";
    EXPECT_EQ(split(unclosed).words, (Words{"x", "runs  to the end"}));
}

TEST(Splitter, BackslashProtectsOneCharacterOutsideQuotesOnly) {
    char blank[] = "a\\ b";
    EXPECT_EQ(split(blank).words, Words{"a b"});
    char quote[] = "\\\"";
    EXPECT_EQ(split(quote).words, Words{"\""});
    char inside[] = "\"a\\b\"";
    EXPECT_EQ(split(inside).words, Words{"a\\b"});
    char trailing[] = "word\\";
    EXPECT_EQ(split(trailing).words, Words{"word"});
}

TEST(Splitter, SingleQuotesAndControlCharactersAreOrdinary) {
    char line[] = "it's a\rb";
    EXPECT_EQ(split(line).words, (Words{"it's", "a\rb"}));
}

TEST(Splitter, EmptyQuotesEndTheSplitting) {
    char middle[] = "x \"\" y";
    const Split m = split(middle);
    EXPECT_EQ(m.words, Words{"x"});
    EXPECT_TRUE(m.terminated);
    EXPECT_EQ(m.rest, middle + 2);
    char first[] = "\"\" a b";
    const Split f = split(first);
    EXPECT_EQ(f.words, Words{});
    EXPECT_EQ(f.rest, nullptr);
}

TEST(Splitter, NextSplitOverwritesTheVector) {
    char one[] = "first words", two[] = "second";
    int argc = 0;
    char **kept = nmakeargv(one, &argc, nullptr);
    nmakeargv(two, &argc, nullptr);
    EXPECT_STREQ(kept[0], "second");
    EXPECT_EQ(kept[1], nullptr);
    EXPECT_EQ(argc, 1);
}

TEST(Splitter, NineteenWordsFillTheVectorExactly) {
    std::string line;
    for (char c = 'a'; c < 'a' + 19; ++c)
        line += std::string(1, c) + " ";
    const Split s = split(line.data());
    EXPECT_EQ(s.words.size(), 19u);
    EXPECT_TRUE(s.terminated);
    EXPECT_EQ(argbase - argbuf, 38);
}

TEST(Splitter, MoreThanNineteenWordsYieldNineteen) {
    std::string line;
    for (int i = 0; i < 30; ++i)
        line += "w" + std::to_string(i) + " ";
    const Split s = split(line.data());
    ASSERT_EQ(s.words.size(), 19u);
    EXPECT_EQ(s.words.back(), "w18");
    EXPECT_TRUE(s.terminated);
}

TEST(Splitter, WordsBeyondTheWordStorageAreLeftOut) {
    // 150 + 1 bytes fit, the next 60 + 1 do not; nothing is written past argbuf.
    std::string line = std::string(150, 'a') + " " + std::string(60, 'b') + " c";
    const Split s = split(line.data());
    ASSERT_EQ(s.words.size(), 1u);
    EXPECT_EQ(s.words[0], std::string(150, 'a'));
    EXPECT_TRUE(s.terminated);
    std::string huge(5000, 'z');
    const Split h = split(huge.data());
    EXPECT_EQ(h.words, Words{});
    EXPECT_TRUE(h.terminated);
    EXPECT_LE(argbase - argbuf, 200);
}

TEST(Splitter, WordsExactlyFillingTheStorageFit) {
    // 199 characters and the NUL fill the 200 bytes; 200 characters do not fit.
    std::string line = std::string(199, 'q');
    EXPECT_EQ(split(line.data()).words, Words{line});
    line = std::string(200, 'q');
    EXPECT_EQ(split(line.data()).words, Words{});
}

TEST(Another, JoinsTheContinuationAndReportsGrowth) {
    auto child = zntest::run_in_child([] {
        char buf[64] = "get file";
        const char more[] = "other\n";
        memcpy(buf + strlen(buf) + 1, more, sizeof more);
        int argc = 2;
        char **argv = nullptr;
        REQUIRE(another(buf, &argc, &argv, "remote") == 1);
        REQUIRE(argc == 3 && strcmp(argv[2], "other") == 0 && argv[3] == nullptr);
        REQUIRE(strcmp(buf, "get file other") == 0);
        char same[32] = "one";
        same[4] = '\0'; // empty continuation
        argc = 1;
        REQUIRE(another(same, &argc, &argv, "p") == 0);
        REQUIRE(argc == 1);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Another, PrintsThePromptAndWarnsAboutFullLines) {
    auto child = zntest::run_in_child([] {
        dup2(zntest::report_fd(), STDOUT_FILENO);
        char buf[512];
        memset(buf, 'x', 199);
        buf[199] = '\0';
        buf[200] = '\0';
        int argc = 1;
        char **argv = nullptr;
        another(buf, &argc, &argv, "more");
        fflush(stdout);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "sorry, arguments too long\n(more) ");
}

} // namespace
