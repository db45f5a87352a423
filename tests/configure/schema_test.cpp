// The configuration schema through the text-format parser and printer.
#include <string>

#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include "tendwell/protocal/TendwellConfigure.pb.h"

using google::protobuf::TextFormat;
using namespace tendwell;

namespace {

const char kTendwell[] = "tendwell { log_path: \"/l\" data_dir: \"/d\" }\n";

TEST(ConfigSchema, MinimalFileYieldsEveryDefault) {
    PConfigure conf;
    ASSERT_TRUE(TextFormat::ParseFromString(kTendwell, &conf));
    EXPECT_EQ(conf.process_size(), 0);
    EXPECT_EQ(conf.period_check_gap_msec(), 1000);
    EXPECT_EQ(conf.cmd_operate_timeout_sec(), 40u);
    EXPECT_EQ(conf.cmd_start_timeo_s(), 20u);
    EXPECT_EQ(conf.pre_cmd_timeout_sec(), 30u);
    EXPECT_EQ(conf.end_cmd_timeout_sec(), 30u);
    EXPECT_EQ(conf.process_tendwell_name(), "tarn");
    EXPECT_EQ(conf.status_save_filename(), "tendwell_process_keeper.save");
    EXPECT_FALSE(conf.start_fail_kill_all());
    const PTendwellConfigure& t = conf.tendwell();
    EXPECT_TRUE(t.daemon());
    EXPECT_EQ(t.log_level(), 8);
    EXPECT_EQ(t.log_policy(), 0);
    EXPECT_EQ(t.log_size(), 128);
    EXPECT_EQ(t.log_file_name(), "tendwell.log");
    EXPECT_FALSE(conf.has_lodir_name() || conf.has_change_directory() || conf.has_pre_cmd() ||
                 conf.has_end_cmd() || conf.has_deploy_path());
    EXPECT_FALSE(t.has_unix_socket_path() || t.has_unix_socket_name() || t.has_log_level());

    ASSERT_TRUE(TextFormat::ParseFromString(std::string(kTendwell) + "process { name: \"a\" }", &conf));
    const PProcessConfigure& p = conf.process(0);
    EXPECT_EQ(p.type(), USER_PROGRAME);
    EXPECT_EQ(p.priority(), -1);
    EXPECT_EQ(p.max_tolerate_check_gap_secs(), -1);
    EXPECT_FALSE(p.has_default_check() || p.has_user_define_check() || p.has_plat_exec_path());
    EXPECT_EQ(p.default_check().start_retry_gap_secs(), 1);
    EXPECT_EQ(p.default_check().stop_wait_secs(), 10);
    EXPECT_EQ(p.default_check().reload_signal(), 15);
    EXPECT_EQ(p.user_define_check().start_retry_gap_secs(), 2);
    EXPECT_EQ(p.user_define_check().check_internal_secs(), 5u);
}

TEST(ConfigSchema, ValidFilesKeepWhatTheyWrite) {
    PConfigure conf;
    ASSERT_TRUE(TextFormat::ParseFromString(
        std::string(kTendwell) +
            "pre_cmd: \"\" deploy_path: \"/x\" start_fail_kill_all: true  # unread fields\n"
            "period_check_gap_msec: -5\n"
            "process { name: \"a\" type: CRONTAB_SERVICE priority: -3 programe_path: \"p\"\n"
            "  user_define_check { start_command: \"s\" check_command: \"c\" stop_command: \"t\"\n"
            "                      start_retry_times: -1 } }\n"
            "process { name: \"b\" default_check { start_command: \"run\" } }\n",
        &conf));
    EXPECT_TRUE(conf.has_pre_cmd());
    EXPECT_EQ(conf.pre_cmd(), "");
    EXPECT_EQ(conf.deploy_path(), "/x");
    EXPECT_TRUE(conf.start_fail_kill_all());
    EXPECT_EQ(conf.period_check_gap_msec(), -5);
    ASSERT_EQ(conf.process_size(), 2);
    EXPECT_EQ(conf.process(0).name(), "a");
    EXPECT_EQ(conf.process(0).type(), 4);
    EXPECT_EQ(conf.process(0).priority(), -3);
    EXPECT_EQ(conf.process(0).user_define_check().start_retry_times(), -1);
    EXPECT_EQ(conf.process(1).default_check().start_command(), "run");

    // A second parse into the same message keeps nothing of the first.
    ASSERT_TRUE(TextFormat::ParseFromString(kTendwell, &conf));
    EXPECT_EQ(conf.process_size(), 0);
    EXPECT_FALSE(conf.has_pre_cmd() || conf.has_deploy_path());
}

TEST(ConfigSchema, InvalidFilesFailToParse) {
    const std::string t = kTendwell;
    const std::string udc = "start_command: \"s\" check_command: \"c\" stop_command: \"t\"";
    const struct {
        const char* why;
        std::string text;
    } cases[] = {
        {"empty file", ""},
        {"no tendwell block", "process { name: \"a\" }"},
        {"no log_path", "tendwell { data_dir: \"/d\" }"},
        {"no data_dir", "tendwell { log_path: \"/l\" }"},
        {"process without name", t + "process { priority: 1 }"},
        {"default_check without start_command",
         t + "process { name: \"a\" default_check { stop_wait_secs: 1 } }"},
        {"user_define_check without start_command",
         t + "process { name: \"a\" user_define_check { check_command: \"c\" stop_command: \"t\" } }"},
        {"user_define_check without check_command",
         t + "process { name: \"a\" user_define_check { start_command: \"s\" stop_command: \"t\" } }"},
        {"user_define_check without stop_command",
         t + "process { name: \"a\" user_define_check { start_command: \"s\" check_command: \"c\" } }"},
        {"misspelled check interval",
         t + "process { name: \"a\" user_define_check { " + udc + " check_interval_secs: 1 } }"},
        {"misspelled program path", t + "process { name: \"a\" program_path: \"p\" }"},
        {"duplicate priority", t + "process { name: \"a\" priority: 1 priority: 2 }"},
        {"duplicate tendwell block", t + t},
        {"negative cmd_operate_timeout_sec", t + "cmd_operate_timeout_sec: -1"},
        {"negative cmd_start_timeo_s", t + "cmd_start_timeo_s: -1"},
        {"negative pre_cmd_timeout_sec", t + "pre_cmd_timeout_sec: -1"},
        {"negative end_cmd_timeout_sec", t + "end_cmd_timeout_sec: -1"},
        {"negative check_internal_secs",
         t + "process { name: \"a\" user_define_check { " + udc + " check_internal_secs: -1 } }"},
        {"int32 out of range", t + "period_check_gap_msec: 2147483648"},
        {"unknown enumeration name", t + "process { name: \"a\" type: WEB_SERVICE }"},
        {"string for a number", t + "cmd_start_timeo_s: \"5\""},
        {"syntax error", t + "pre_cmd \"x\""},
    };
    for (const auto& c : cases) {
        PConfigure conf;
        EXPECT_FALSE(TextFormat::ParseFromString(c.text, &conf)) << c.why;
    }
}

TEST(ConfigSchema, PrintedConfigurationParsesBackEqual) {
    PConfigure conf;
    conf.set_lodir_name("svc.example");
    conf.set_change_directory("/srv/app");
    conf.set_pre_cmd("echo \"pre\"\n");
    conf.set_cmd_start_timeo_s(7);
    PTendwellConfigure* t = conf.mutable_tendwell();
    t->set_log_path("./log");
    t->set_data_dir("./data");
    t->set_unix_socket_name("ctl.sock");
    t->set_daemon(false);
    PProcessConfigure* a = conf.add_process();
    a->set_name("web");
    a->set_priority(5);
    a->mutable_default_check()->set_start_command("./web --port 8080");
    a->mutable_default_check()->set_reload_signal(1);
    PProcessConfigure* b = conf.add_process();
    b->set_name("cron");
    b->set_type(LOG_BACKUP_SERVICE);
    PUserDefineCheckType* u = b->mutable_user_define_check();
    u->set_start_command("start.sh");
    u->set_check_command("check.sh");
    u->set_stop_command("stop.sh");
    u->set_reload_command("");

    std::string text;
    ASSERT_TRUE(TextFormat::PrintToString(conf, &text));
    PConfigure back;
    ASSERT_TRUE(TextFormat::ParseFromString(text, &back)) << text;
    EXPECT_TRUE(google::protobuf::util::MessageDifferencer::Equals(conf, back)) << text;
    EXPECT_TRUE(back.process(1).user_define_check().has_reload_command());
    EXPECT_FALSE(back.process(1).user_define_check().has_restart_command());
}

}  // namespace
