// A stand-in network log server on 127.0.0.1 and an ephemeral port, written from the
// wire format alone: it answers open requests with a handle of its own (or the error it
// is told to give) and records the opens and the runs of lines it receives.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

class StandInLogServer {
public:
    struct Open {
        std::string path, file, auth;
        uint32_t log_id, compress, handle;
    };
    struct Run {
        uint32_t handle, time;
        std::string bytes;
    };

    // keep: record every run (else only count the lines).
    explicit StandInLogServer(bool keep = true) : keep_(keep) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 && listen(fd, 16) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
        listener_ = fd;
        if (pipe(wake_) == 0) thread_ = std::thread([this] { Serve(); });
    }
    ~StandInLogServer() {
        if (thread_.joinable()) {
            quit_ = true;
            if (write(wake_[1], "q", 1) != 1) {
            }
            thread_.join();
        }
        for (int fd : {listener_.load(), wake_[0], wake_[1]})
            if (fd >= 0) close(fd);
        for (auto& c : conns_) close(c.first);
    }
    StandInLogServer(const StandInLogServer&) = delete;
    StandInLogServer& operator=(const StandInLogServer&) = delete;

    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    void SetOpenError(int err) { open_error_ = err; }
    // Stops reading what clients send (or reads again).
    void SetReading(bool on) { reading_ = on; }
    // Stops accepting and hangs up every connection: connects are refused from then on.
    // Returns once that is done.
    void Down() {
        down_ = true;
        if (write(wake_[1], "d", 1) != 1) {
        }
        while (listener_ >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    std::vector<Open> Opens() {
        std::lock_guard<std::mutex> lock(mutex_);
        return opens_;
    }
    std::vector<Run> Runs() {
        std::lock_guard<std::mutex> lock(mutex_);
        return runs_;
    }
    size_t LineCount() const { return lines_; }
    int Connections() const { return accepted_; }
    // The lines received for the logs opened as file, in the order they came.
    std::vector<std::string> Lines(const std::string& file) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const Run& r : runs_) {
            if (files_[r.handle] != file) continue;
            size_t start = 0;
            for (size_t nl; (nl = r.bytes.find('\n', start)) != std::string::npos; start = nl + 1)
                out.push_back(r.bytes.substr(start, nl - start));
        }
        return out;
    }

private:
    static uint32_t Le32(const std::string& b, size_t at) {
        return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
               static_cast<uint8_t>(b[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
    }
    static void PutLe32(unsigned char* at, uint32_t v) {
        for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
    }
    static std::string Field(const std::string& body, size_t at) {
        std::string f = body.substr(at, 32);
        return f.substr(0, f.find('\0'));
    }

    void Serve() {
        while (!quit_) {
            std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}};
            if (!down_) fds.push_back({listener_, POLLIN, 0});
            for (auto& c : conns_) fds.push_back({c.first, static_cast<short>(reading_ ? POLLIN : 0), 0});
            if (poll(fds.data(), fds.size(), 100) < 0) continue;
            if (fds[0].revents) {
                char c;
                if (read(wake_[0], &c, 1) != 1) {
                }
            }
            if (down_) {
                for (auto& c : conns_) close(c.first);
                conns_.clear();
                if (listener_ >= 0) close(listener_);
                listener_ = -1;
                continue;
            }
            if (fds[1].revents & POLLIN) {
                int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    conns_[fd];
                    ++accepted_;
                }
            }
            for (size_t i = 2; i < fds.size(); ++i)
                if (fds[i].revents) Receive(fds[i].fd);
        }
    }

    void Receive(int fd) {
        char buf[65536];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) {
            close(fd);
            conns_.erase(fd);
            return;
        }
        std::string& in = conns_[fd];
        in.append(buf, static_cast<size_t>(n));
        while (in.size() >= 36 && in.size() >= 36 + Le32(in, 32)) {
            std::string body = in.substr(36, Le32(in, 32));
            if (Le32(in, 24) == 0xfb709394u && Le32(in, 28) == 1)
                Opened(fd, Le32(in, 4), body);
            else if (Le32(in, 24) == 0xfb709394u && Le32(in, 28) == 6)
                Data(body);
            in.erase(0, 36 + body.size());
        }
    }

    void Opened(int fd, uint32_t log_id, const std::string& body) {
        uint32_t handle = next_handle_++;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            opens_.push_back({Field(body, 0), Field(body, 32), Field(body, 64), log_id, Le32(body, 100), handle});
            files_[handle] = Field(body, 32);
        }
        unsigned char reply[48] = {};
        PutLe32(reply + 24, 0xfb709394u);
        PutLe32(reply + 28, 1);
        PutLe32(reply + 32, 12);
        PutLe32(reply + 36, static_cast<uint32_t>(open_error_.load()));
        PutLe32(reply + 40, handle);
        if (write(fd, reply, sizeof(reply)) != sizeof(reply)) {
        }
    }

    void Data(const std::string& body) {
        for (size_t at = 0; at + 12 <= body.size();) {
            Run run{Le32(body, at), Le32(body, at + 4), body.substr(at + 12, Le32(body, at + 8))};
            at += 12 + run.bytes.size();
            lines_ += static_cast<size_t>(std::count(run.bytes.begin(), run.bytes.end(), '\n'));
            std::lock_guard<std::mutex> lock(mutex_);
            if (keep_) runs_.push_back(std::move(run));
        }
    }

    const bool keep_;
    std::atomic<int> listener_{-1};
    int port_ = 0;
    int wake_[2] = {-1, -1};
    std::atomic<bool> quit_{false}, down_{false}, reading_{true};
    std::atomic<int> open_error_{0}, accepted_{0};
    std::atomic<size_t> lines_{0};
    uint32_t next_handle_ = 1;
    std::map<int, std::string> conns_;  // descriptor: bytes not yet parsed
    std::mutex mutex_;
    std::vector<Open> opens_;
    std::vector<Run> runs_;
    std::map<uint32_t, std::string> files_;
    std::thread thread_;
};

}  // namespace testutil
