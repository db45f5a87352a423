// A stand-in naming agent on 127.0.0.1: answers every request with one canned
// reply, or accepts and never answers, and records each request line; or,
// not listening, refuses. One connection at a time, on a thread of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

class StandInAgent {
public:
    // port 0 takes an ephemeral port; port() is 0 when the port is taken.
    explicit StandInAgent(int port = 0, bool listening = true) {
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        socklen_t len = sizeof(addr);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
            (listening && listen(fd_, 8) != 0)) {
            return;
        }
        port_ = ntohs(addr.sin_port);
        if (listening) thread_ = std::thread([this] { Serve(); });
    }
    ~StandInAgent() {
        shutdown(fd_, SHUT_RDWR);  // ends the accept
        if (thread_.joinable()) thread_.join();
        for (int fd : held_) close(fd);
        close(fd_);
    }

    int port() const { return port_; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    void Reply(int status, const std::string& body, bool silent = false) {
        std::lock_guard<std::mutex> lock(mu_);
        status_ = status;
        body_ = body;
        silent_ = silent;
    }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(mu_);
        return requests_;
    }

private:
    void Serve() {
        for (int conn; (conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            timeval wait = {5, 0};
            setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
            std::string in;
            size_t want = SIZE_MAX;  // known once the head is in
            char buf[4096];
            ssize_t n;
            while (in.size() < want && (n = read(conn, buf, sizeof(buf))) > 0) {
                in.append(buf, static_cast<size_t>(n));
                size_t head = in.find("\r\n\r\n"), at = in.find("Content-Length: ");
                if (want == SIZE_MAX && head != std::string::npos) {
                    want = head + 4 + (at < head ? std::stoul(in.substr(at + 16)) : 0);
                }
            }
            std::lock_guard<std::mutex> lock(mu_);
            requests_.push_back(in.substr(0, in.find("\r\n")));
            if (silent_) {
                held_.push_back(conn);
                continue;
            }
            std::string out = "HTTP/1.1 " + std::to_string(status_) +
                              " Canned\r\nContent-Length: " + std::to_string(body_.size()) +
                              "\r\n\r\n" + body_;
            for (size_t sent = 0; (n = send(conn, out.data() + sent, out.size() - sent,
                                            MSG_NOSIGNAL)) > 0;) {
                sent += static_cast<size_t>(n);  // ends when all is sent or the client gave up
            }
            close(conn);
        }
    }

    int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port_ = 0;
    std::thread thread_;
    std::mutex mu_;
    int status_ = 200;
    std::string body_;
    bool silent_ = false;
    std::vector<std::string> requests_;
    std::vector<int> held_;
};
