// Configuration files: the line rules, capacity, "$include", typed access, writing and
// number files.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "zu_test_log.h"
#include "zulib/zu_conf.h"
#include "zulib/zu_error.h"

namespace {

struct TableFree {
    void operator()(zu_conftable_t* t) const { zu_freeconf(t); }
};
using Table = std::unique_ptr<zu_conftable_t, TableFree>;

Table NewTable() { return Table(zu_initconf(0)); }

class ZuConf : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(log_.opened()); }

    // Reads text as dir/name into a fresh table.
    Table Read(const std::string& text, int* result, const std::string& name = "t.conf") {
        EXPECT_TRUE(testutil::WriteFile(dir_ / name, text));
        Table t = NewTable();
        *result = zu_readconf(dir_.path().c_str(), name.c_str(), t.get());
        return t;
    }
    std::string LineError(int line, const std::string& name = "t.conf") {
        return "[readconf] line (" + std::to_string(line) + ") in conf file (" + (dir_ / name) + ") error";
    }

    testutil::TempDir dir_;
    zutest::ProcessLog log_{dir_.path()};
};

TEST_F(ZuConf, LineRules) {
    const std::string v2047(2047, 'v');
    struct Case {
        std::string text;
        const char* name;  // null: an error line
        std::string value;
    } cases[] = {
        {"a:b\n", "a", "b"},
        {"a : b\n", "a", "b"},
        {"a :b\n", "a", "b"},
        {" \t a \t:\t b \t\r\n", "a", "b"},
        {"a : b : c\n", "a", "b : c"},
        {"a :: b\n", "a", ": b"},
        {"a::b\n", "a", ":b"},
        {"a :\n", "a", ""},
        {"a : x#y\n", "a", "x#y"},
        {"a : b", "a", "b"},  // last line without a line end
        {std::string("a : b\0z : q\n", 12), "a", "b"},
        {"k : " + v2047 + "\n", "k", v2047},
        {"a b\n", nullptr, ""},
        {"a\n", nullptr, ""},
        {"a", nullptr, ""},
        {"a :", nullptr, ""},
        {": b\n", nullptr, ""},
        {" # c : d\n", nullptr, ""},
        {"k : " + v2047 + "v\n", nullptr, ""},
    };
    for (const Case& c : cases) {
        int result = 0;
        Table t = Read("# comment\n\n   \n" + c.text, &result);
        ASSERT_EQ(1, result) << c.text;
        std::vector<std::string> errors = log_.Messages("FATAL: ");
        if (c.name) {
            ASSERT_EQ(1, t->count) << c.text;
            EXPECT_STREQ(c.name, t->items[0].name) << c.text;
            EXPECT_EQ(c.value, t->items[0].value) << c.text;
            EXPECT_TRUE(errors.empty()) << c.text;
        } else {
            EXPECT_EQ(0, t->count) << c.text;
            ASSERT_EQ(1u, errors.size()) << c.text;
            EXPECT_EQ(LineError(4), errors[0]);
        }
        ASSERT_EQ(0, truncate((dir_ / "zutestlog.wf").c_str(), 0));
    }
}

TEST_F(ZuConf, OverlongLineIsOneErrorLineAndNeverSmugglesAnItem) {
    const std::string filler(4090, 'y');
    int result = 0;
    Table t = Read("x : " + filler + "evil : 1\n" + "#" + filler + "evil2 : 2\n" + "ok : 1\n" + "bad\n", &result);
    ASSERT_EQ(1, result);
    ASSERT_EQ(1, t->count);
    EXPECT_STREQ("ok", t->items[0].name);
    EXPECT_EQ((std::vector<std::string>{LineError(1), LineError(4)}), log_.Messages("FATAL: "));
}

TEST_F(ZuConf, FailuresOfTheWholeRead) {
    std::string full;
    for (int i = 0; i < ZU_CONF_MIN_CAPACITY; ++i) full += "k" + std::to_string(i) + " : " + std::to_string(i) + "\n";
    int result = 0;
    Table t = Read(full, &result);
    EXPECT_EQ(1, result);
    EXPECT_EQ(ZU_CONF_MIN_CAPACITY, t->count);
    for (const char* extra : {"k : v\n", "# comment\n", "\n"}) {
        t = Read(full + extra, &result);
        EXPECT_EQ(-1, result) << extra;
        EXPECT_EQ(0, t->count) << extra;
    }
    t = Read("a : 1\n" + std::string(2048, 'n') + " : v\n", &result);
    EXPECT_EQ(-1, result);
    EXPECT_EQ(0, t->count);

    EXPECT_EQ(-1, zu_readconf(dir_.path().c_str(), "missing.conf", t.get()));
    EXPECT_EQ(-1, zu_readconf("/", "tmp", t.get()));  // not a regular file
    EXPECT_EQ(-1, zu_readconf(nullptr, "x", t.get()));
    EXPECT_EQ(ZU_ERR_PARAM, zu_geterrno());
    std::vector<std::string> fatal = log_.Messages("FATAL: ");
    ASSERT_EQ(2u, fatal.size());
    EXPECT_EQ("[readconf] file (" + (dir_ / "missing.conf") + ") not found or not linked to a regular file", fatal[0]);
    EXPECT_NE(std::string::npos, log_.Messages("WARNING: ").at(0).find("stat(" + (dir_ / "missing.conf") + ")"));
}

TEST_F(ZuConf, IncludeFollowsOneLevel) {
    testutil::TempDir other;
    ASSERT_EQ(0, mkdir((dir_ / "sub").c_str(), 0700));
    ASSERT_TRUE(testutil::WriteFile(dir_ / "sub/part.conf", "b : 2\n$include : \"deeper.conf\"\n"));
    ASSERT_TRUE(testutil::WriteFile(dir_ / "sub/deeper.conf", "c : 3\n"));
    ASSERT_TRUE(testutil::WriteFile(other / "abs.conf", "d : 4\n"));
    const std::string main_text = "$INCLUDE : \" part.conf\"\n"
                                  "$Include : \"" + other.path() + "/abs.conf\"\n"
                                  "$include : \"missing.conf\"\n"
                                  "$include : unquoted.conf\n"
                                  "a : 1\n";
    ASSERT_TRUE(testutil::WriteFile(dir_ / "sub/main.conf", main_text));
    Table t = NewTable();
    ASSERT_EQ(1, zu_readconf_ex(dir_.path().c_str(), "sub/main.conf", t.get()));
    std::vector<std::string> names;
    for (int i = 0; i < t->count; ++i) names.push_back(t->items[i].name);
    EXPECT_EQ((std::vector<std::string>{"$INCLUDE", "$Include", "$include", "$include", "a", "b", "$include", "d"}),
              names);
    EXPECT_EQ((std::vector<std::string>{"[readconf] error: can't read conf[" + (dir_ / "sub/missing.conf") + "]"}),
              std::vector<std::string>{log_.Messages("WARNING: ").back()});

    ASSERT_EQ(1, zu_readconf(dir_.path().c_str(), "sub/main.conf", t.get()));
    EXPECT_EQ(5, t->count);  // without following
}

TEST_F(ZuConf, IntegerGettersReadTheirBasesAndRefuseWhatDoesNotFit) {
    struct Case {
        const char* text;
        int type;
        const char* want;  // null: not found
    } cases[] = {
        {"0x1A", ZU_CONF_INT, "26"},
        {"010", ZU_CONF_INT, "8"},
        {"0X1A", ZU_CONF_INT, nullptr},
        {"-7", ZU_CONF_INT, "-7"},
        {"08", ZU_CONF_INT, nullptr},
        {"0", ZU_CONF_INT, "0"},
        {"12abc", ZU_CONF_INT, "12"},
        {"abc", ZU_CONF_INT, nullptr},
        {"0xFFFFFFFF", ZU_CONF_INT, "-1"},
        {"037777777777", ZU_CONF_INT, "-1"},
        {"2147483647", ZU_CONF_INT, "2147483647"},
        {"2147483648", ZU_CONF_INT, nullptr},
        {"-2147483648", ZU_CONF_INT, "-2147483648"},
        {"-2147483649", ZU_CONF_INT, nullptr},
        {"0x100000000", ZU_CONF_INT, nullptr},
        {"040000000000", ZU_CONF_INT, nullptr},
        {"4294967295", ZU_CONF_UINT, "4294967295"},
        {"4294967296", ZU_CONF_UINT, nullptr},
        {"-1", ZU_CONF_UINT, "4294967295"},
        {"9223372036854775807", ZU_CONF_INT64, "9223372036854775807"},
        {"9223372036854775808", ZU_CONF_INT64, nullptr},
        {"0xFFFFFFFFFFFFFFFF", ZU_CONF_INT64, "-1"},
        {"0x10000000000000000", ZU_CONF_INT64, nullptr},
        {"18446744073709551615", ZU_CONF_UINT64, "18446744073709551615"},
        {"18446744073709551616", ZU_CONF_UINT64, nullptr},
    };
    for (const Case& c : cases) {
        Table t = NewTable();
        ASSERT_EQ(1, zu_addconfstr(t.get(), "n", c.text));
        std::string got;
        int found = 0;
        if (c.type == ZU_CONF_INT) {
            int v = 99;
            found = zu_getconfint(t.get(), "n", &v);
            got = std::to_string(v);
        } else if (c.type == ZU_CONF_UINT) {
            unsigned v = 99;
            found = zu_getconfuint(t.get(), "n", &v);
            got = std::to_string(v);
        } else if (c.type == ZU_CONF_INT64) {
            long long v = 99;
            found = zu_getconfint64(t.get(), "n", &v);
            got = std::to_string(v);
        } else {
            unsigned long long v = 99;
            found = zu_getconfuint64(t.get(), "n", &v);
            got = std::to_string(v);
        }
        EXPECT_EQ(c.want ? 1 : 0, found) << c.text;
        if (c.want) {
            EXPECT_EQ(c.want, got) << c.text;
        }
    }
}

TEST_F(ZuConf, AddersSettersAndStrings) {
    Table t = NewTable();
    EXPECT_EQ(1, zu_addconfint(t.get(), "i", -3));
    EXPECT_EQ(0, zu_addconfint(t.get(), "i", 5));
    EXPECT_EQ(1, zu_addconfuint64(t.get(), "u64", 18446744073709551615ULL));
    EXPECT_EQ(1, zu_addconffloat(t.get(), "f", 1.5f));
    int unknown_type = 7;
    EXPECT_EQ(1, zu_addconf(t.get(), "odd", &unknown_type, 9));
    EXPECT_EQ(-1, zu_addconfstr(t.get(), std::string(2048, 'n').c_str(), "v"));
    EXPECT_EQ(ZU_ERR_PARAM, zu_geterrno());
    EXPECT_EQ(-3, zu_addconfstr(t.get(), "s", std::string(2048, 'v').c_str()));
    EXPECT_EQ(-4, zu_addconfstr(t.get(), "s", nullptr));
    EXPECT_EQ(1, zu_addconfstr(t.get(), "s", std::string(2047, 'v').c_str()));
    char buf[8];
    EXPECT_EQ(1, zu_getconfstr(t.get(), "u64", buf, sizeof(buf)));
    EXPECT_STREQ("1844674", buf);
    EXPECT_EQ(0, zu_getconfstr(t.get(), "none", buf, sizeof(buf)));
    EXPECT_STREQ("", buf);
    EXPECT_STREQ("1.500000", t->items[2].value);
    EXPECT_STREQ("", t->items[3].value);

    EXPECT_EQ(1, zu_modifyconfint(t.get(), "i", 0x10));
    EXPECT_EQ(1, zu_modifyconffloat(t.get(), "f", 2.25f));
    EXPECT_EQ(0, zu_modifyconfint(t.get(), "none", 1));
    EXPECT_EQ(-1, zu_modifyconfstr(t.get(), "s", nullptr));
    EXPECT_EQ(-3, zu_modifyconfstr(t.get(), "s", std::string(2048, 'w').c_str()));
    EXPECT_STREQ("16", t->items[0].value);
    float f = 0;
    EXPECT_EQ(1, zu_getconffloat(t.get(), "f", &f));
    EXPECT_FLOAT_EQ(2.25f, f);

    while (t->count < t->capacity) ASSERT_EQ(1, zu_addconfint(t.get(), ("k" + std::to_string(t->count)).c_str(), 1));
    EXPECT_EQ(-2, zu_addconfint(t.get(), "more", 1));
    EXPECT_EQ(ZU_ERR_DETAIL, zu_geterrno());
    EXPECT_STREQ("can't add any more", zu_geterrstr(ZU_ERR_DETAIL));
}

TEST_F(ZuConf, WriteReadsBackAndRefusesLineEnds) {
    Table t = NewTable();
    EXPECT_EQ(-1, writeconf(dir_.path().c_str(), "out.conf", t.get()));  // empty table
    zu_addconfstr(t.get(), "a", "x : y");
    zu_addconfint(t.get(), "two words", 1);
    zu_addconfstr(t.get(), "inject\nevil", "1");
    zu_addconfstr(t.get(), "b", "1\nevil : 2");
    zu_addconfstr(t.get(), "c", "");
    ASSERT_EQ(1, writeconf(dir_.path().c_str(), "out.conf", t.get()));
    EXPECT_EQ("a : x : y\nc : \n", testutil::ReadFile(dir_ / "out.conf"));
    EXPECT_EQ((std::vector<std::string>{"[writeconf] var's num (0) size(1024) error",
                                        "[writeconf] var's name (two words) error",
                                        "[writeconf] var's name (inject", "[writeconf] var's name (b) error"}),
              log_.Messages("FATAL: "));
    Table back = NewTable();
    ASSERT_EQ(1, zu_readconf(dir_.path().c_str(), "out.conf", back.get()));
    ASSERT_EQ(2, back->count);
    EXPECT_STREQ("x : y", back->items[0].value);

    EXPECT_EQ(-1, writeconf("/dev", "full", t.get()));  // the write itself fails
    EXPECT_EQ(-1, writeconf(dir_.path().c_str(), "no/such/dir", t.get()));
}

TEST_F(ZuConf, NumberFiles) {
    const char* dir = dir_.path().c_str();
    ASSERT_EQ(1, zu_createnum(dir, "counts"));
    EXPECT_EQ("", testutil::ReadFile(dir_ / "counts.n"));
    EXPECT_EQ(1, zu_writenum_int(dir, "counts", "i", -5));
    EXPECT_EQ(1, zu_writenum_uint(dir, "counts", "u", 4000000000u));
    EXPECT_EQ(1, zu_writenum_int64(dir, "counts", "i64", -9000000000LL));
    EXPECT_EQ(1, zu_writenum_uint64(dir, "counts", "u64", 18000000000000000000ULL));
    EXPECT_EQ(1, zu_writenum_float(dir, "counts", "f", 0.5f));
    EXPECT_EQ(1, zu_writenum_one(dir, "counts", "s", "text", ZU_CONF_STR));  // writes nothing
    EXPECT_EQ(-2, zu_writenum_int(dir, "counts", "a b", 1));
    EXPECT_EQ(-2, zu_writenum_int(dir, "counts", "a\nevil", 1));
    EXPECT_EQ(-3, zu_writenum_one(dir, "counts", "x", nullptr, ZU_CONF_INT));
    EXPECT_EQ(-1, zu_writenum_int(dir, "counts.n/x", "x", 1));
    EXPECT_EQ(ZU_ERR_OPEN, zu_geterrno());
    EXPECT_EQ("i : -5\nu : 4000000000\ni64 : -9000000000\nu64 : 18000000000000000000\nf : 0.500000\n",
              testutil::ReadFile(dir_ / "counts.n"));

    int i = 0;
    unsigned u = 0;
    long long i64 = 0;
    unsigned long long u64 = 0;
    float f = 0;
    EXPECT_EQ(1, zu_readnum_int(dir, "counts", "i", &i));
    EXPECT_EQ(1, zu_readnum_uint(dir, "counts", "u", &u));
    EXPECT_EQ(1, zu_readnum_int64(dir, "counts", "i64", &i64));
    EXPECT_EQ(1, zu_readnum_uint64(dir, "counts", "u64", &u64));
    EXPECT_EQ(1, zu_readnum_float(dir, "counts", "f", &f));
    EXPECT_EQ(-5, i);
    EXPECT_EQ(4000000000u, u);
    EXPECT_EQ(-9000000000LL, i64);
    EXPECT_EQ(18000000000000000000ULL, u64);
    EXPECT_FLOAT_EQ(0.5f, f);
    EXPECT_EQ(-1, zu_readnum_int(dir, "counts", "missing", &i));
    EXPECT_EQ(-1, kreadnum_one(dir, "counts", "i", &i, ZU_CONF_STR));
    EXPECT_EQ(-1, zu_readnum_int(dir, "absent", "i", &i));
    std::vector<std::string> fatal = log_.Messages("FATAL: ");
    EXPECT_EQ("[kreadnum_one] have no (missing).", fatal.at(fatal.size() - 3));
}

}  // namespace
