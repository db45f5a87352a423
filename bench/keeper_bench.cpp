// Starts and stops 50 "sleep" processes through the keeper and prints how long
// each phase took; the waits of Start and Stop should end as soon as the answer is
// known, not at a tenth of the time-out.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "keeper/process_keeper.h"

namespace {

constexpr int kProcesses = 50;
constexpr uint32_t kStartTimeoutMs = 2000;
constexpr uint32_t kStopTimeoutMs = 10000;

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

int main() {
    char dir[] = "/tmp/keeper-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    const std::string save_path = std::string(dir) + "/keeper.save";
    tendwell::ProcessKeeper keeper;
    if (!keeper.Init(save_path)) return 1;

    std::vector<std::string> names;
    for (int i = 0; i < kProcesses; ++i) {
        names.push_back("sleep" + std::to_string(i));
        keeper.Add(tendwell::ProcessKeeper::Process(names.back(), "sleep 1000"), nullptr);
    }

    int failures = 0;
    auto start = std::chrono::steady_clock::now();
    for (const std::string& name : names) {
        if (!keeper.Start(name, kStartTimeoutMs, nullptr)) ++failures;
    }
    const double start_ms = MsSince(start);

    std::vector<pid_t> pids;
    for (const std::string& name : names) {
        tendwell::ProcessKeeper::Process process;
        if (keeper.Get(name, &process)) pids.push_back(process.pid);
    }

    start = std::chrono::steady_clock::now();
    for (const std::string& name : names) {
        if (!keeper.Stop(name, kStopTimeoutMs, nullptr)) ++failures;
    }
    const double stop_ms = MsSince(start);

    printf("start %d processes: %8.1f ms (%.2f ms each)\n", kProcesses, start_ms,
           start_ms / kProcesses);
    printf("stop  %d processes: %8.1f ms (%.2f ms each)\n", kProcesses, stop_ms,
           stop_ms / kProcesses);
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
