// Writes 100-byte log lines from 4 threads through a FILE, an AFILE and a NET device (to
// a stand-in log server on 127.0.0.1) and prints, for each, the lines per second until
// every line was written or received, and what one line costs the writing thread.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log_server.h"
#include "plume/plume.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 4;
constexpr int kLinesPerThread = 250000;
constexpr int kLines = kThreads * kLinesPerThread;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A "NOTICE: <time>:  bench * <tid> " head and this message make a line of about 100 bytes.
const char* const kMessage = "bench line of a hundred bytes: abcdefghijklmnopqrstuvwxyz012345";
// Banner lines besides: two of the open, two of each thread's open and close.
constexpr size_t kBanners = 2 + 4 * kThreads;

// The lines of the file that carry kMessage.
size_t CountLines(const std::string& path) {
    std::string text;
    if (FILE* f = fopen(path.c_str(), "r")) {
        char buf[1 << 16];
        for (size_t n; (n = fread(buf, 1, sizeof(buf), f)) > 0;) text.append(buf, n);
        fclose(f);
    }
    size_t count = 0;
    for (size_t at = 0; (at = text.find(kMessage, at)) != std::string::npos; at += 1) ++count;
    return count;
}

struct Result {
    double lines_per_s;
    double writer_ns;  // per line, in the writing thread
    size_t delivered;
    size_t backup;  // of them, to a NET device's backup file
};

Result Run(const char* type, const std::string& dir, testutil::StandInLogServer* server) {
    plume_device_t* dev = new plume_device_t;
    plume_resetdevice(dev);
    snprintf(dev->type, sizeof(dev->type), "%s", type);
    snprintf(dev->path, sizeof(dev->path), "%s", server ? (server->Address() + "/" + dir).c_str() : dir.c_str());
    snprintf(dev->file, sizeof(dev->file), "bench.log");
    dev->log_mask = PLUME_DEFAULT_MASK;
    if (plume_openlog("bench", dev, 1, nullptr) != 0) {
        fprintf(stderr, "cannot open the %s device\n", type);
        exit(1);
    }
    std::vector<double> busy(kThreads);
    auto start = Clock::now();
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t, &busy] {
            plume_openlog_r();
            auto begin = Clock::now();
            for (int i = 0; i < kLinesPerThread; ++i) plume_writelog(PLUME_LOG_NOTICE, "%s", kMessage);
            busy[t] = Seconds(Clock::now() - begin);
            plume_closelog_r();
        });
    for (auto& w : writers) w.join();
    size_t backup = 0;
    if (server) {
        // Lines a full queue turned away went to the backup file in the writing thread.
        backup = CountLines(dir + "/bench.log");
        while (server->LineCount() < kLines - backup + kBanners && Seconds(Clock::now() - start) < 60)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    double elapsed = Seconds(Clock::now() - start);
    plume_closelog(60000);  // an asynchronous device writes what it holds
    if (!server) elapsed = Seconds(Clock::now() - start);
    delete dev;
    size_t received = server ? server->LineCount() : 0;
    size_t delivered = received - std::min(received, kBanners) + CountLines(dir + "/bench.log");
    double busy_total = 0;
    for (double b : busy) busy_total += b;
    return {kLines / elapsed, busy_total / kLines * 1e9, delivered, backup};
}

}  // namespace

// Arguments name the device types to run; none runs all three.
int main(int argc, char** argv) {
    std::vector<std::string> types(argv + 1, argv + argc);
    if (types.empty()) types = {"FILE", "AFILE", "NET"};
    char tmpl[] = "/tmp/log-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("mkdtemp");
        return 1;
    }
    const std::string root = tmpl;
    if (chdir(root.c_str()) != 0) return 1;
    printf("%d threads, %d lines of about 100 bytes\n", kThreads, kLines);
    for (const std::string& name : types) {
        const char* type = name.c_str();
        std::string dir = root + "/" + name;
        std::unique_ptr<testutil::StandInLogServer> server;
        if (name == "NET") server.reset(new testutil::StandInLogServer(false));
        // A NET device's backup file is beside the working directory's server path.
        Result r = Run(type, server ? type : dir, server.get());
        printf("%-6s %10.0f lines/s  %7.0f ns/line in the writing thread  %zu of %d delivered", type,
               r.lines_per_s, r.writer_ns, r.delivered, kLines);
        if (server) printf(" (%zu to the backup file)", r.backup);
        printf("\n");
    }
    std::string cleanup = "rm -rf '" + root + "'";
    return system(cleanup.c_str()) == 0 ? 0 : 1;
}
