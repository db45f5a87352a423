#include "tendwell_example.h"

#include <errno.h>
#include <stdio.h>

#include <fstream>
#include <string>

#include <google/protobuf/text_format.h>

#include "tendwell_configure.h"

namespace tendwell {

namespace {

// Placeholders for every kind of entry: one tendlet the agent starts and watches
// itself, one watched through the user's own commands.
PConfigure ExampleConfigure() {
    PConfigure conf;
    conf.set_change_directory("[optional]/path/to/cd/before/start/");
    conf.set_lodir_name("[optional]ServiceLodirName");
    PTendwellConfigure* tendwell = conf.mutable_tendwell();
    tendwell->set_log_path("[requird]/path/to/tendwell/log");
    tendwell->set_data_dir("[required]/DIR/to/save/tendwell/data");
    tendwell->set_daemon(true);
    tendwell->set_unix_socket_name("[optional]tendlet.socket");
    tendwell->set_log_file_name("[optional]tendwell.log");

    PProcessConfigure* first = conf.add_process();
    first->set_name("[required]your programe name");
    first->mutable_default_check()->set_start_command("[required]cmd/to/start/not/daemon");
    first->mutable_default_check()->set_stop_wait_secs(20);

    PProcessConfigure* second = conf.add_process();
    second->set_name("your programe1 name");
    second->set_max_tolerate_check_gap_secs(30);
    PUserDefineCheckType* check = second->mutable_user_define_check();
    check->set_start_command("cmd/to/start");
    check->set_check_command("cmd/to/check");
    check->set_check_timeout_secs(10);
    check->set_stop_command("cmd/to/stop");
    check->set_stop_timeout_secs(10);
    check->set_restart_command("cmd/to/restart");
    check->set_restart_timeout_secs(10);
    check->set_reload_command("cmd/to/reload");
    check->set_reload_timeout_secs(10);
    return conf;
}

}  // namespace

int GenerateExampleConfigure(const char* file) {
    std::string text;
    google::protobuf::TextFormat::PrintToString(ExampleConfigure(), &text);
    if (file == nullptr) {
        // A full disk or a closed pipe must not pass for a written example.
        if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0) {
            fprintf(stderr, "write example configure to stdout fail, errno:%d\n", errno);
            return -1;
        }
        return 0;
    }
    std::ofstream out(file, std::ios::out | std::ios::trunc);
    if (!out.is_open()) {
        fprintf(stderr, "open %s fail\n", file);
        return -1;
    }
    out << text << "\n";
    out.flush();
    out.close();
    if (out.fail()) {
        fprintf(stderr, "write %s fail\n", file);
        return -1;
    }
    return 0;
}

int TestConfigure(const char* file) {
    PConfigure conf;
    const int parsed = ParseConfigureFile(file, &conf);
    if (parsed == -1) {
        fprintf(stderr, "open fail:%s error,errno:%d", file, errno);
        return -1;
    }
    if (parsed != 0) {
        fprintf(stderr, "configure:%s parse error\n", file);
        return -2;
    }
    if (!CheckConfigure(conf, CheckFor::kTest)) {
        fprintf(stderr, "configure:%s is not legal\n", file);
        return -3;
    }
    printf("configure:%s is ok...\n", file);
    return 0;
}

}  // namespace tendwell
