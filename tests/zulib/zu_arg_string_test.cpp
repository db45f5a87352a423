// The argument parser and the string helpers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "zulib/zu_arg.h"
#include "zulib/zu_string.h"

namespace {

struct ArgFree {
    void operator()(zu_arg_t* a) const { zu_arg_free(a); }
};
using Args = std::unique_ptr<zu_arg_t, ArgFree>;

// Parses argv (program name first) into a fresh record; *result gets the parse's result
// and *out what it printed.
Args Parse(std::vector<std::string> argv, int* result, std::string* out = nullptr) {
    std::vector<char*> ptrs;
    for (std::string& a : argv) ptrs.push_back(&a[0]);
    Args args(zu_arg_new());
    testing::internal::CaptureStdout();
    *result = zu_arg_parse(args.get(), static_cast<int>(ptrs.size()), ptrs.data());
    std::string printed = testing::internal::GetCapturedStdout();
    if (out) *out = printed;
    return args;
}

TEST(ZuArg, ShortLongAndBasic) {
    int result = -1;
    Args a = Parse({"prog", "-v", "-f", "conf.txt", "--name", "demo", "input", "--", "more"}, &result);
    ASSERT_EQ(0, result);
    char buf[64];
    int size = sizeof(buf);
    EXPECT_EQ(1, zu_arg_getshort(a.get(), 'v', buf, &size));
    EXPECT_EQ(8, zu_arg_getshort(a.get(), 'f', buf, &size));
    EXPECT_STREQ("conf.txt", buf);
    EXPECT_EQ(8, size);
    size = 4;
    EXPECT_EQ(0, zu_arg_getshort(a.get(), 'f', buf, &size));
    EXPECT_STREQ("con", buf);
    size = sizeof(buf);
    EXPECT_EQ(4, zu_arg_getlong(a.get(), "name", buf, &size));
    EXPECT_STREQ("demo", buf);
    size = sizeof(buf);
    EXPECT_EQ(4, zu_arg_getlong(a.get(), "name", buf, &size));
    EXPECT_EQ(2, a->fetched_count);  // f and name, each counted once
    EXPECT_EQ(1, zu_arg_getlong(a.get(), "name", nullptr, nullptr));
    EXPECT_EQ(1, a->long_count);  // "--" alone names nothing
    size = sizeof(buf);
    EXPECT_EQ(0, zu_arg_getshort(a.get(), 'z', buf, &size));
    EXPECT_EQ(0, size);
    EXPECT_STREQ("", buf);

    const char* basics[] = {"input", "more"};
    for (int i = 0; i < 2; ++i) {
        size = sizeof(buf);
        EXPECT_EQ(static_cast<int>(strlen(basics[i])), zu_arg_getbasic(a.get(), i, buf, &size));
        EXPECT_STREQ(basics[i], buf);
    }
    size = 5;
    EXPECT_EQ(0, zu_arg_getbasic(a.get(), 0, buf, &size));  // "input" needs 6 bytes
    for (int i : {-1, 2, 3}) {
        size = sizeof(buf);
        EXPECT_EQ(0, zu_arg_getbasic(a.get(), i, buf, &size)) << i;
    }
}

TEST(ZuArg, LettersTogetherTakeNoValue) {
    int result = -1;
    Args a = Parse({"prog", "-abc", "value"}, &result);
    ASSERT_EQ(0, result);
    EXPECT_EQ(3, a->short_count);
    EXPECT_EQ(1, a->basic_count);
    EXPECT_STREQ("value", a->basics[0]);
}

TEST(ZuArg, OverflowsFailTheParse) {
    struct Case {
        std::vector<std::string> argv;
        int want;
        std::string printed;
    } cases[] = {
        {{"-abcdefghijklmnopqrs"}, 0, ""},
        {{"-abcdefghijklmnopqrst"}, -1, "ARG_ERROR: two many option parameters 20 have been inputed.\n"},
        {{"1", "2", "3", "4", "5", "6", "7", "8", "9"}, 0, ""},
        {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, -1,
         "ARG_ERROR: two many basic parameters 10 have been inputed.\n"},
        {{"--a", "--b", "--c", "--d", "--e", "--f", "--g", "--h", "--i", "--j"}, 0, ""},
        {{"--a", "--b", "--c", "--d", "--e", "--f", "--g", "--h", "--i", "--j", "--k"}, -1,
         "ARG_ERROR: two many long option parameters 11 have been inputed.\n"},
    };
    for (Case& c : cases) {
        c.argv.insert(c.argv.begin(), "prog");
        int result = 0;
        std::string printed;
        Parse(c.argv, &result, &printed);
        EXPECT_EQ(c.want, result) << c.argv.size();
        EXPECT_EQ(c.printed, printed);
    }
}

TEST(ZuString, BoundedCopyAppendAndCase) {
    char buf[8] = "zzzzzzz";
    EXPECT_EQ(6u, zu_strlcpy(buf, "abcdef", 4));
    EXPECT_STREQ("abc", buf);
    EXPECT_EQ(8u, zu_strlcat(buf, "defgh", sizeof(buf)));
    EXPECT_STREQ("abcdefg", buf);
    EXPECT_EQ(3u + 2u, zu_strlcat(buf, "hi", 3));  // dst longer than size
    EXPECT_STREQ("abcdefg", buf);

    struct Case {
        const char* a;
        const char* b;
        int n;
        int want;
    } cases[] = {{"ABC", "abd", 3, 1}, {"ABC", "abc", 3, 0}, {"ab", "AB", 5, 0},
                 {"ab", "abc", 5, 3},  {"xbc", "abc", 3, 3}, {"Q", "r", 0, 0}};
    for (const Case& c : cases) EXPECT_EQ(c.want, zu_strncasecmp_n(c.a, c.b, c.n)) << c.a << " " << c.b;

    char text[] = "MiXeD [1] \xC4";
    EXPECT_EQ(1, zu_strtolower(text));
    EXPECT_STREQ("mixed [1] \xC4", text);
}

TEST(ZuString, Tokens) {
    char table[256] = {};
    for (int c = 'a'; c <= 'z'; ++c) table[c] = 1;
    char token[16];
    const char* p = zu_sgettoken("  one, two", token, table);
    EXPECT_STREQ("one", token);
    EXPECT_STREQ("two", p);
    p = zu_sgettoken(p, token, table);
    EXPECT_STREQ("two", token);
    EXPECT_STREQ("", p);

    // "\xB0\xA1" is a GB2312 character; "\x80" alone is not.
    p = zu_sgettoken_gb(" \x80 \xB0\xA1" "ab", token, table);
    EXPECT_STREQ("\xB0\xA1", token);
    EXPECT_STREQ("ab", p);
    p = zu_sgettoken_gb(p, token, table);
    EXPECT_STREQ("ab", token);
    p = zu_sgettoken_gb("x \xB0\xA1", token, table);
    EXPECT_STREQ("x", token);
    EXPECT_STREQ("\xB0\xA1", p);
}

}  // namespace
