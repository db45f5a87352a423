// tendwell: one executable that is both the daemon keeping the tendlets alive
// and its own command-line client.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "corvel/clock.h"
#include "corvel/proc_title.h"
#include "instance/tendwell_instance_holder.h"
#include "tendwell/protocal/TendwellSlave_types.h"
#include "tendwell_configure.h"
#include "tendwell_example.h"
#include "tendwell_lodir_conf.h"
#include "tendwell_process.h"
#include "tendwell_startup.h"
#include "tendwell_utility.h"

namespace tendwell {

namespace {

const int32_t kCommandTimeout = 30;
// The shortest time between two rounds of a start that takes a daemon's place.
const int kRoundGapMs = 100;
const size_t kMaxConfPathLen = 512;

struct CommandOptions {
    std::string conf_path;
    std::string change_dir;
    std::string name;  // empty: all tendlets
    bool force = false;
};

CommandOptions g_options;

void PrintVersion() {
    printf(" Version\t:\t%s\n", kVersion);
    printf(" Built date\t:\t%s\n", __DATE__ " " __TIME__);
}

void Usage(const char* program) {
    printf("Usage: %s [OPTIONS] [CONF_PATH] [CMD]\n", program);
    printf("Startup:\n");
    printf(" -v, --version  : to see the version of this programe\n");
    printf(" -h, --help     : to see how to use this programe\n");
    printf(" -t, --test     : to see how configure is ok or not\n");
    printf(" -c  --change   : change to directory before run this agent\n");
    printf(" -g  --generate : generate a example configure to a file\n");
    printf(" -f  --force    : when tendwell is exit, this option try to operate the process\n");
    printf(" -G  --stdout   : generate a example configure to stdout\n");
    printf("DESCRIPTION\n");
    printf("\ttendwell is a agent to monitor and control a number of processes depend on your "
           "configure\n");
    printf("\tthis process is just work as a slave, however its lifetime is equal to your "
           "process\n");
    printf("\nExample:\n");
    printf("\tExample1: tendwell will first start the processes define in /path/to/conf\n");
    printf("\t          and monitor the processes, once exit, it will start the process again\n");
    printf("\ttendwell /pth/to/conf start\n\n");
    printf("\tExample2: tendwell will stop all the processes which monitor by this tendwell\n");
    printf("\ttendwell  /pth/to/conf stop\n\n");
    printf("\tExample3: tendwell will check the processes, and print the status to stdout\n");
    printf("\ttendwell /pth/to/conf check\n\n");
    printf("\tExample4: tendwell will restart the processes\n");
    printf("\ttendwell /pth/to/conf restart\n\n");
    printf("\tExample5: tendwell will reload the processes\n");
    printf("\ttendwell /pth/to/conf reload\n\n");
    printf("\tExample6: tendwell will start a certain process define by --name, this example "
           "start process1\n");
    printf("\ttendwell /pth/to/conf start --name process1\n\n");
    printf("\tExample7: tendwell will stop a certain process define by --name, this example "
           "stop process1\n");
    printf("\ttendwell /pth/to/conf stop --name process1\n\n");
    printf("\tExample8: tendwell will check a certain process define by --name, this example "
           "check process1\n");
    printf("\ttendwell /pth/to/conf check --name process1\n\n");
    printf("\tExample9: tendwell will generate a example configure to stdout or save_conf\n");
    printf("\ttendwell -g ./save_conf\n");
    printf("\ttendwell -G\n");
}

void PrintStatusHeader() {
    printf("%-30s\t%-8s\t%-20s\t%-20s\n", "NAME", "MSG", "TIME", "START_CMD");
}

void PrintStatusInfo(const TTendletStatusInfo& info) {
    printf("%-30s\t%-8s\t%-20s\t%-20s\n", info.name.c_str(), info.msg.c_str(), info.time.c_str(),
           info.start_cmd.c_str());
}

// Prints the table; returns how many tendlets are not RUNNING.
int PrintStatusList(const std::vector<TTendletStatusInfo>& infos) {
    PrintStatusHeader();
    int not_running = 0;
    for (const TTendletStatusInfo& info : infos) {
        PrintStatusInfo(info);
        if (info.status != TTendletStatus::RUNNING) {
            ++not_running;
        }
    }
    return not_running;
}

// The exit status of a result: a non-zero result never shows as success, which
// the low eight bits alone would make of 256.
int ExitStatus(int result) {
    return (result != 0 && (result & 0xff) == 0) ? 255 : result;
}

// "stop return 0(OK)" for all tendlets, "stop web return 0(OK)" for one.
int PrintResult(const char* word, const TReturnResult& result) {
    if (g_options.name.empty()) {
        printf("%s return %d(%s)\n", word, result.returnCode, result.returnMsg.c_str());
    } else {
        printf("%s %s return %d(%s)\n", word, g_options.name.c_str(), result.returnCode,
               result.returnMsg.c_str());
    }
    return result.returnCode;
}

int RunCheck(ProcessManager* manager) {
    if (g_options.name.empty()) {
        std::vector<TTendletStatusInfo> infos;
        TReturnResult result = manager->Check(infos, g_options.force, kCommandTimeout);
        if (result.returnCode != 0) {
            return PrintResult("check", result);
        }
        return PrintStatusList(infos);
    }
    TTendletStatusInfo info;
    TReturnResult result = manager->CheckOne(g_options.name, info, g_options.force,
                                             kCommandTimeout);
    if (result.returnCode != 0) {
        return PrintResult("check", result);
    }
    PrintStatusHeader();
    PrintStatusInfo(info);
    return 0;
}

using AllCommand = TReturnResult (ProcessManager::*)(bool, int32_t);
using OneCommand = TReturnResult (ProcessManager::*)(const std::string&, bool, int32_t);

struct Command {
    const char* word;
    AllCommand all;
    OneCommand one;        // null: refused with a name
    bool all_needs_no_force;  // all tendlets: may run here even without -f
};

const Command kCommands[] = {
    {"stop", &ProcessManager::Stop, &ProcessManager::StopOne, true},
    {"restart", &ProcessManager::Restart, &ProcessManager::RestartOne, false},
    {"reload", &ProcessManager::Reload, &ProcessManager::ReloadOne, false},
    {"abort", &ProcessManager::Abort, nullptr, false},
};

// Runs cmd through the process manager and prints its outcome; the result code.
int RunCommand(ProcessManager* manager, const std::string& cmd) {
    const std::string& name = g_options.name;
    if (cmd == "check") {
        return RunCheck(manager);
    }
    if (cmd == "start") {
        return PrintResult("start", manager->StartOne(name, g_options.force, kCommandTimeout));
    }
    for (const Command& command : kCommands) {
        if (cmd != command.word) {
            continue;
        }
        if (name.empty()) {
            bool local = g_options.force || command.all_needs_no_force;
            return PrintResult(command.word, (manager->*command.all)(local, kCommandTimeout));
        }
        if (command.one == nullptr) {
            fprintf(stderr, "%s don't support name\n", command.word);
            exit(4);
        }
        return PrintResult(command.word,
                           (manager->*command.one)(name, g_options.force, kCommandTimeout));
    }
    fprintf(stderr, "unkown operate type:%s, try tendwell -h\n", cmd.c_str());
    exit(2);
}

// The process manager, ready for a command in change_directory; null, with the
// exit status in *status, when it cannot be.
ProcessManager* InitClient(int* status) {
    ProcessManager* manager = ProcessManager::GetInstance();
    *status = manager->InitWithoutProcessKeeper(g_conf, g_options.conf_path);
    if (*status != 0) {
        fprintf(stderr, "Init process manager fail%d %s\n", *status, g_options.conf_path.c_str());
        return nullptr;
    }
    if (g_conf.has_change_directory() && !ChangeDirectory(g_conf.change_directory())) {
        *status = -1;
        return nullptr;
    }
    return manager;
}

// The client road: the command goes through the process manager.
int RunClient(const std::string& cmd) {
    int status;
    ProcessManager* manager = InitClient(&status);
    if (manager == nullptr) return status;
    status = ExitStatus(RunCommand(manager, cmd));
    if (manager->RanInProcess()) {
        // The keeper's pool threads still run; exit handlers must not race them.
        ExitNow(status);
    }
    return status;
}

// "start" of all tendlets: decided here, in the foreground, where a failure can
// still be seen. A daemon is asked at once; any other start claims the instance
// and becomes the daemon, or goes to the daemon that holds the claim when it
// cannot. One that is asked and dies, or stops, without starting anything leaves
// its place to this start, for as long as cmd_start_timeo_s lasts.
int RunStartOfAll() {
    // Where each try begins: the daemon's changes of directory are made from here.
    // Closed before this process becomes the daemon.
    int start_dir = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const uint64_t deadline_ns =
        corvel::monotonic_ns() + static_cast<uint64_t>(g_conf.cmd_start_timeo_s()) * 1000000000ULL;
    bool begun = false;
    for (;;) {
        const uint64_t round_ns = corvel::monotonic_ns();
        const InstanceHolder holder =
            FindInstanceHolder(g_conf, SecondsToMs<int32_t>(g_conf.cmd_operate_timeout_sec()));
        if (holder.kind == InstanceHolder::kNobody || holder.kind == InstanceHolder::kOther) {
            if (!begun) {
                printf("begin to start...\n");
                // Later failures may end the process without exit handlers.
                fflush(stdout);
                begun = true;
            }
            const int started = StartDaemon(g_options.change_dir, &start_dir);
            if (started != kClaimedElsewhere) return started;
            if (start_dir < 0 || fchdir(start_dir) != 0) {
                fprintf(stderr, "[main]cdir_to the starting directory failed, erron:%d\n", errno);
                return 255;
            }
        } else if (holder.kind == InstanceHolder::kUnusable ||
                   holder.kind == InstanceHolder::kKeeper) {
            fprintf(stderr, "%s\n", holder.why.c_str());
            ExitNow(4);
        }
        int status;
        ProcessManager* manager = InitClient(&status);
        if (manager == nullptr) return status;
        bool take_over = false;
        const TReturnResult result = manager->Start(kCommandTimeout, deadline_ns, &take_over);
        if (!take_over || corvel::monotonic_ns() >= deadline_ns || start_dir < 0 ||
            fchdir(start_dir) != 0) {
            printf("start return:%d(%s)\n", result.returnCode, result.returnMsg.c_str());
            return ExitStatus(result.returnCode);
        }
        // However quickly a round ends, the next one waits its turn.
        corvel::sleep_ms(corvel::remaining_ms(round_ns, kRoundGapMs));
    }
}

const struct option kLongOptions[] = {
    {"version", no_argument, nullptr, 'v'},  {"help", no_argument, nullptr, 'h'},
    {"test", required_argument, nullptr, 't'}, {"generate", required_argument, nullptr, 'g'},
    {"stdout", no_argument, nullptr, 'G'},   {"change", required_argument, nullptr, 'c'},
    {"force", no_argument, nullptr, 'f'},    {"name", required_argument, nullptr, 'n'},
    {"debug", no_argument, nullptr, 'd'},    {nullptr, 0, nullptr, 0},
};

// Parses the options in order; returns true with status set when one of them
// ends the program.
bool ParseOptions(int argc, char** argv, int* status) {
    int opt;
    while ((opt = getopt_long(argc, argv, "vhfc:g:t:Gn:d", kLongOptions, nullptr)) != -1) {
        switch (opt) {
        case 'v':
            PrintVersion();
            *status = 0;
            return true;
        case 'h':
            Usage(argv[0]);
            *status = 0;
            return true;
        case 't':
            *status = TestConfigure(optarg);
            return true;
        case 'g':
            *status = GenerateExampleConfigure(optarg);
            return true;
        case 'G':
            *status = GenerateExampleConfigure(nullptr);
            return true;
        case 'c':
            g_options.change_dir = optarg;
            break;
        case 'f':
            g_options.force = true;
            break;
        case 'n':
            // An empty variable in a script must not widen a command to all tendlets.
            if (*optarg == '\0') {
                fprintf(stderr, "empty tendlet name\n");
                exit(1);
            }
            g_options.name = optarg;
            break;
        case 'd':
            SetLogLevel(kLogDebug);
            break;
        default:
            printf("Try `%s --help' for more information.\n", argv[0]);
            Usage(argv[0]);
            exit(1);
        }
    }
    return false;
}

int Main(int argc, char** argv) {
    int status = 0;
    if (ParseOptions(argc, argv, &status)) {
        return status;
    }
    int positional = argc - optind;
    if (positional != 2) {
        fprintf(stderr, "can not parse your input string,please check");
        if (positional >= 3) {
            for (int i = optind; i < argc; ++i) {
                fprintf(stderr, ":%s ", argv[i]);
            }
        }
        printf("\n");
        Usage(argv[0]);
        return -1;
    }
    const std::string conf_path = argv[argc - 2];
    const std::string cmd = argv[argc - 1];
    if (conf_path.size() >= kMaxConfPathLen) {
        fprintf(stderr, "configure name is too long\n");
        return -1;
    }
    g_options.conf_path = conf_path;
    GetConfPathFromLodirName(g_options.conf_path);
    std::string unreadable;
    if (TendwellGetConfigureFromFile(g_options.conf_path, &g_conf, &unreadable) != 0) {
        if (!unreadable.empty()) fprintf(stderr, "%s\n", unreadable.c_str());
        fprintf(stderr, "load conf %s failed\n", g_options.conf_path.c_str());
        ExitNow(2);
    }
    if (cmd == "start" && g_options.name.empty()) return RunStartOfAll();
    return RunClient(cmd);
}

}  // namespace

}  // namespace tendwell

int main(int argc, char** argv) {
    char** args = corvel::proc_title_init(argc, argv);
    if (args == nullptr) {
        fprintf(stderr, "Failed to initialize environment variables table.\n");
        return -1;
    }
    return tendwell::Main(argc, args);
}
