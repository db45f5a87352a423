// Starts and stops N "sleep" processes through the keeper (50 unless given as the
// argument), one start at a time and then all in one StartEach, and prints how long
// each phase took, and what an idle table costs per GetAll: the waits of Start and
// Stop should end as soon as the answer is known, a batch should cost one save, and
// an unchanged table should not be written again.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "corvel/spawn.h"
#include "keeper/process_keeper.h"

namespace {

constexpr int kDefaultProcesses = 50;
constexpr int kIdleRounds = 100;
constexpr uint32_t kStartTimeoutMs = 2000;
constexpr uint32_t kStopTimeoutMs = 10000;

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// The value of one "key:" line of a /proc/self file, 0 when it has none.
long long ProcValue(const char* file, const std::string& key) {
    std::ifstream in(std::string("/proc/self/") + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            return atoll(line.c_str() + key.size() + 1);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int processes = argc > 1 ? atoi(argv[1]) : kDefaultProcesses;
    if (processes <= 0) {
        fprintf(stderr, "usage: %s [number of processes]\n", argv[0]);
        return 2;
    }
    if (!corvel::use_gate_program(TENDWELL_GATE)) {
        perror(TENDWELL_GATE);
        return 1;
    }
    char dir[] = "/tmp/keeper-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    const std::string save_path = std::string(dir) + "/keeper.save";
    tendwell::ProcessKeeper keeper;
    if (!keeper.Init(save_path)) return 1;

    std::vector<std::string> names;
    for (int i = 0; i < processes; ++i) {
        names.push_back("sleep" + std::to_string(i));
        keeper.Add(tendwell::ProcessKeeper::Process(names.back(), "exec sleep 1000"), nullptr);
    }

    int failures = 0;
    auto start = std::chrono::steady_clock::now();
    for (const std::string& name : names) {
        if (!keeper.Start(name, kStartTimeoutMs, nullptr)) ++failures;
    }
    double start_ms = MsSince(start);
    printf("start %d processes one at a time: %8.1f ms (%.2f ms each)\n", processes, start_ms,
           start_ms / processes);
    for (const std::string& name : names) {
        if (!keeper.Stop(name, kStopTimeoutMs, nullptr)) ++failures;
    }

    std::vector<tendwell::ProcessKeeper::StartRequest> batch(names.size());
    for (size_t i = 0; i < names.size(); ++i) batch[i].name = names[i];
    start = std::chrono::steady_clock::now();
    keeper.StartEach(&batch, kStartTimeoutMs);
    start_ms = MsSince(start);
    for (const auto& request : batch) {
        if (!request.started) ++failures;
    }
    printf("start %d processes in one batch:  %8.1f ms (%.2f ms each)\n", processes, start_ms,
           start_ms / processes);

    std::vector<pid_t> pids;
    for (const std::string& name : names) {
        tendwell::ProcessKeeper::Process process;
        if (keeper.Get(name, &process)) pids.push_back(process.pid);
    }

    printf("with them running:  %lld threads, VmSize %lld kB, VmRSS %lld kB, VmPTE %lld kB\n",
           ProcValue("status", "Threads"), ProcValue("status", "VmSize"),
           ProcValue("status", "VmRSS"), ProcValue("status", "VmPTE"));
    const long long written = ProcValue("io", "wchar");
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < kIdleRounds; ++i) keeper.GetAll(nullptr);
    const double idle_ms = MsSince(start);
    const long long idle_bytes = ProcValue("io", "wchar") - written;

    start = std::chrono::steady_clock::now();
    for (const std::string& name : names) {
        if (!keeper.Stop(name, kStopTimeoutMs, nullptr)) ++failures;
    }
    const double stop_ms = MsSince(start);

    printf("idle GetAll:        %8.3f ms each, %lld bytes written in %d calls\n",
           idle_ms / kIdleRounds, idle_bytes, kIdleRounds);
    printf("stop  %d processes: %8.1f ms (%.2f ms each)\n", processes, stop_ms,
           stop_ms / processes);
    printf("failures: %d\n", failures);

    // Whatever did not stop is not left behind.
    for (pid_t pid : pids) {
        if (pid > 1) kill(-pid, SIGKILL);
    }
    keeper.Shutdown();
    unlink(save_path.c_str());
    rmdir(dir);
    return failures == 0 ? 0 : 1;
}
