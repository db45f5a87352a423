// A daemon for the service tests: the daemon's own road from the claim to the
// frame's end, in the foreground, on the configuration named by argv[1].
//   --stop-before-run    raise SIGTERM before the frame runs
#include <signal.h>
#include <string.h>

#include <string>

#include "corvel/spawn.h"
#include "tendwell_configure.h"
#include "tendwell_frame.h"
#include "tendwell_startup.h"
#include "tendwell_unix_server.h"
#include "tendwell_utility.h"

using namespace tendwell;

int main(int argc, char** argv) {
    if (argc < 2 || TendwellGetConfigureFromFile(argv[1], &g_conf) != 0) return 2;
    if (!corvel::use_gate_program(TENDWELL_GATE)) return 5;
    bool stop_before_run = false;
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--stop-before-run") == 0) stop_before_run = true;
    }
    const PTendwellConfigure& t = g_conf.tendwell();
    std::string log = t.log_path() + "/" + t.log_file_name();
    if (OpenLog(log.c_str(), "tendwell", t.log_level(), t.log_policy(), t.log_size()) != 0) return 4;
    if (!ThriftUnixServer::GetInstance()->Claim().Take()) return 4;
    if (!ThriftUnixServer::GetInstance()->LockFile()) return 4;
    if (!ThriftUnixServer::GetInstance()->LockStateFile()) return 4;
    signal(SIGPIPE, SIG_IGN);
    TendwellFrame* frame = TendwellFrame::GetInstance();
    if (frame->Init() != 0) return 5;
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = SignalHandler;
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) sigaction(sig, &sa, nullptr);
    if (stop_before_run) raise(SIGTERM);
    int ret = frame->Run();
    CloseLog();
    return ret == 0 ? 0 : 5;
}
