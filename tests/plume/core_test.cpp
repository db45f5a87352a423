// Line layout, level names, categories and registry signatures.
#include <gtest/gtest.h>

#include <string>

#include "plume/appender.h"
#include "plume/layout.h"
#include "plume/plume.h"
#include "plume/plume_event.h"
#include "appender/tty_appender.h"
#include "category.h"
#include "core.h"
#include "level_names.h"
#include "name_mg.h"
#include "sign.h"

namespace {

using plumespace::Category;
using plumespace::Layout;

std::string Render(Layout& layout, const std::string& msg, int version = -1, const char* type = "") {
    plume_event_t* ev = plume_get_thread_event();
    plume_reset_event(ev);
    snprintf(ev->msg, ev->msg_size, "%s", msg.c_str());
    ev->msg_len = static_cast<int>(strlen(ev->msg));
    ev->level = PLUME_LOG_NOTICE;
    ev->version = version;
    snprintf(ev->type, sizeof(ev->type), "%s", type);
    snprintf(ev->procname, sizeof(ev->procname), "proc");
    ev->tid = 77;
    EXPECT_EQ(0, layout.format(ev));
    EXPECT_EQ(static_cast<int>(strlen(ev->line)), ev->line_len);
    return ev->line;
}

TEST(Layout, PatternLetters) {
    struct Case {
        const char* pattern;
        const char* want;
    } cases[] = {
        {"%L %P %T %R", "NOTICE proc 77 msg\n"},
        {"[%Q]", "[]\n"},
        {"a%", "a\n"},
        {"%Y|", "|\n"},
        {"100%%", "100\n"},
    };
    for (const Case& c : cases) {
        Layout layout;
        layout.setPattern(c.pattern);
        EXPECT_EQ(c.want, Render(layout, "msg")) << c.pattern;
    }
    Layout layout;
    layout.setPattern("%R");
    EXPECT_EQ("3 audit x\n", Render(layout, "x", 3, "audit"));
    plume_set_time_format("%Y");
    layout.setPattern("%Y");
    EXPECT_EQ(5u, Render(layout, "").size());
}

TEST(Layout, LongMessageIsClippedWithNewline) {
    Layout layout;
    std::string line = Render(layout, std::string(5000, 'm'));
    EXPECT_EQ(2047u, line.size());
    EXPECT_EQ('\n', line.back());
    EXPECT_EQ('m', line[2045]);
}

TEST(Layout, NdcPairs) {
    Layout layout;
    plume_event_t* ev = plume_get_thread_event();
    plume_reset_event(ev);
    EXPECT_EQ(0, plume_push_ndc(ev, "user", "7"));
    EXPECT_EQ(0, plume_push_ndc(ev, "op", "start"));
    char buf[32];
    EXPECT_EQ(16, layout.formatNdc(ev, buf, 17));
    EXPECT_STREQ("user:7,op:start,", buf);
    EXPECT_EQ(0, layout.formatNdc(ev, buf, 16));  // no room for the last plain character
    plume_reset_event(ev);
    for (int i = 0; i < PLUME_NDC_MAX; ++i) EXPECT_EQ(0, plume_push_ndc(ev, "key", std::to_string(i).c_str()));
    EXPECT_EQ(-1, plume_push_ndc(ev, "key", "overflow"));
    EXPECT_EQ(14, layout.formatNdc(ev, buf, 15));  // a key that does not fit clips the list
    EXPECT_STREQ("key:0,key:1,ke", buf);
}

TEST(LevelNames, RegistrationFillsSelfDefinedIds) {
    EXPECT_EQ(16, plumespace::get_level_id("DEBUG"));
    EXPECT_EQ(0, plumespace::get_level_id("nosuch"));
    EXPECT_EQ(32, plumespace::register_level_name("first"));
    EXPECT_EQ(32, plumespace::register_level_name("first"));
    for (int i = 1; i < 32; ++i) EXPECT_EQ(32 + i, plumespace::register_level_name(("n" + std::to_string(i)).c_str()));
    EXPECT_EQ(0, plumespace::register_level_name("one too many"));
    EXPECT_STREQ("n31", plumespace::level_name(63));
}

TEST(Category, TreeAndAppenderList) {
    ASSERT_EQ(0, plumespace::core_init());
    EXPECT_EQ(nullptr, Category::getCategory(".hidden"));
    Category* leaf = Category::getCategory("a.b.c");
    ASSERT_NE(nullptr, leaf);
    Category* mid = Category::getCategory("a.b");
    EXPECT_EQ(mid, leaf->father);
    EXPECT_EQ(Category::getCategory("a"), mid->father);
    EXPECT_EQ(leaf, Category::getCategory("a.b.c"));

    plume_device_t* dev = new plume_device_t;
    plume_resetdevice(dev);
    snprintf(dev->type, sizeof(dev->type), "TTY");
    plumespace::Appender* tty = plumespace::Appender::getAppenderByType(dev);
    ASSERT_NE(nullptr, tty);
    EXPECT_EQ(tty, plumespace::Appender::getAppenderByType(dev));  // one per layout
    EXPECT_EQ(0, mid->addAppender(tty));
    EXPECT_EQ(0, mid->addAppender(tty));
    EXPECT_EQ(1, mid->appender_num.load());
    EXPECT_EQ(0, leaf->appender_num.load());  // made before the appender was added
    EXPECT_EQ(1, Category::getCategory("a.b.d")->appender_num.load());
    for (int i = 1; i < Category::MAX_APPENDERS; ++i) mid->appenders[i] = tty;
    mid->appender_num.store(Category::MAX_APPENDERS);
    EXPECT_EQ(-1, mid->addAppender(reinterpret_cast<plumespace::Appender*>(dev)));
    mid->removeAppender(tty);
    EXPECT_EQ(0, mid->appender_num.load());
    delete dev;
    plumespace::core_close();
}

TEST(TypeRegistry, EntryWithoutFunctionsIsRefused) {
    ASSERT_EQ(0, plumespace::core_init());
    EXPECT_EQ(-1, plume_register_appender_type("NOGET", nullptr, plumespace::TtyAppender::tryAppender));
    EXPECT_EQ(-1, plume_register_appender_type("NOTRY", plumespace::TtyAppender::getAppender, nullptr));
    plume_device_t* dev = new plume_device_t;
    plume_resetdevice(dev);
    for (const char* type : {"NOGET", "NOTRY"}) {
        snprintf(dev->type, sizeof(dev->type), "%s", type);
        EXPECT_EQ(nullptr, plumespace::Appender::getAppenderByType(dev)) << type;
        EXPECT_EQ(nullptr, plumespace::Appender::tryAppenderByType(dev)) << type;
    }
    delete dev;
    plumespace::core_close();
}

TEST(Sign, ShortKeysAreHeldWholeAndLongKeysWeighted) {
    uint32_t low, high;
    plumespace::x_creat_sign_f64("abcd", 4, &low, &high);
    EXPECT_EQ(0x64636261u, low);
    EXPECT_EQ(0u, high);
    plumespace::x_creat_sign_f64("abcdefgh", 8, &low, &high);
    EXPECT_EQ(0x64636261u, low);
    EXPECT_EQ(0x68676665u, high);
    // Keys differing only in byte 2 differ by its weight in each word.
    uint32_t low2, high2;
    plumespace::x_creat_sign_f64("aaaaaaaaa", 9, &low, &high);
    plumespace::x_creat_sign_f64("aacaaaaaa", 9, &low2, &high2);
    EXPECT_EQ(2u * 3u, low2 - low);
    EXPECT_EQ(2u * 7145686u, high2 - high);
}

}  // namespace
