#include "tendwell_request_loop.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <exception>

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include "corvel/clock.h"
#include "corvel/fd_io.h"
#include "tendwell_utility.h"

namespace tendwell {

using apache::thrift::protocol::TBinaryProtocolFactoryT;
using apache::thrift::transport::TMemoryBuffer;
using apache::thrift::transport::TTransport;

namespace {

constexpr size_t kFrameHeader = 4;
// How long accepting rests when descriptors have run out and the reserve is spent.
constexpr int kAcceptRestMs = 100;
constexpr uint64_t kNsPerMs = 1000000;

// The length a frame's header announces, or -1 while the header is incomplete.
int64_t AnnouncedLength(const std::string& input) {
    if (input.size() < kFrameHeader) return -1;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(input.data());
    return (static_cast<int64_t>(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
}

void Post(int fd) {
    const uint64_t one = 1;
    corvel::write_fd(fd, &one, sizeof(one));
}

int OpenReserve() { return open("/dev/null", O_RDONLY | O_CLOEXEC); }

}  // namespace

RequestLoop::RequestLoop(std::shared_ptr<apache::thrift::TProcessor> processor,
                         const Limits& limits)
    : processor_(std::move(processor)),
      limits_(limits),
      wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      reserve_fd_(OpenReserve()) {
    try {
        for (int i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { Work(); });
    } catch (...) {
        StopWorkers();
        if (reserve_fd_ >= 0) close(reserve_fd_);
        if (wake_fd_ >= 0) close(wake_fd_);
        throw;
    }
}

RequestLoop::~RequestLoop() {
    StopWorkers();
    for (const auto& entry : connections_) close(entry.first);
    for (int fd : handed_) close(fd);
    if (reserve_fd_ >= 0) close(reserve_fd_);
    if (wake_fd_ >= 0) close(wake_fd_);
}

void RequestLoop::Stop() {
    stopping_.store(true);
    if (wake_fd_ >= 0) Post(wake_fd_);
}

void RequestLoop::TakeListener(int listen_fd) {
    {
        std::lock_guard<std::mutex> lock(handed_mutex_);
        handed_.push_back(listen_fd);
    }
    if (wake_fd_ >= 0) Post(wake_fd_);
}

int RequestLoop::SwitchListener(int listen_fd, uint64_t now_ns) {
    std::vector<int> handed;
    {
        std::lock_guard<std::mutex> lock(handed_mutex_);
        handed.swap(handed_);
    }
    for (int next : handed) {
        // Whoever waits there has reached the daemon: accepted, not dropped.
        Accept(listen_fd, 0, now_ns, true);
        close(listen_fd);
        listen_fd = next;
    }
    return listen_fd;
}

std::string RequestLoop::Serve(int listen_fd) {
    std::string error;
    std::vector<struct pollfd> fds;
    uint64_t accept_from_ns = 0;
    while (!stopping_.load()) {
        uint64_t now_ns = corvel::monotonic_ns();
        listen_fd = SwitchListener(listen_fd, now_ns);
        TakeBack(now_ns);
        int wait_ms = CloseIdle(now_ns);
        if (reserve_fd_ < 0) reserve_fd_ = OpenReserve();
        const bool accepting = now_ns >= accept_from_ns;
        if (!accepting) {
            const int rest_ms = static_cast<int>((accept_from_ns - now_ns) / kNsPerMs) + 1;
            wait_ms = wait_ms < 0 ? rest_ms : std::min(wait_ms, rest_ms);
        }
        // Without the wake-up descriptor a stop or a returned connection is
        // seen within a look.
        if (wake_fd_ < 0 && (wait_ms < 0 || wait_ms > 10)) wait_ms = 10;
        fds.clear();
        fds.push_back({wake_fd_, POLLIN, 0});
        fds.push_back({accepting && HasRoom() ? listen_fd : -1, POLLIN, 0});
        for (const auto& entry : connections_) {
            if (!entry.second.output.empty()) {
                fds.push_back({entry.first, POLLOUT, 0});
            } else if (!entry.second.busy) {
                fds.push_back({entry.first, POLLIN, 0});
            }
        }
        if (poll(fds.data(), fds.size(), wait_ms) < 0) {
            if (errno == EINTR) continue;
            error = std::string("poll: ") + strerror(errno);
            break;
        }
        now_ns = corvel::monotonic_ns();
        if (fds[0].revents != 0) {
            uint64_t count;
            corvel::read_fd(wake_fd_, &count, sizeof(count));
        }
        if (fds[1].revents != 0) {
            error = Accept(listen_fd, fds[1].revents, now_ns);
            if (!error.empty()) break;
            if (accept_rest_) accept_from_ns = now_ns + kAcceptRestMs * kNsPerMs;
            accept_rest_ = false;
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].events == POLLOUT) {
                Flush(fds[i].fd, now_ns);
            } else {
                Read(fds[i].fd, now_ns);
            }
        }
    }
    // Requests being answered are answered, and their answers go out as far as
    // the sockets take them at once; those still waiting for a worker go with
    // their connections.
    StopWorkers();
    TakeBack(corvel::monotonic_ns());
    for (const auto& entry : connections_) close(entry.first);
    connections_.clear();
    close(listen_fd);
    return error;
}

bool RequestLoop::HasRoom() const {
    return connections_.size() < limits_.max_connections ||
           std::any_of(connections_.begin(), connections_.end(),
                       [](const std::pair<const int, Connection>& entry) {
                           return entry.second.Idle();
                       });
}

std::string RequestLoop::Accept(int listen_fd, short revents, uint64_t now_ns, bool drain) {
    // At the cap, poll has told only that one client waits: room is made for
    // that one, and for the next ones once poll tells of them.
    for (bool told = true;; told = false) {
        if (!drain && connections_.size() >= limits_.max_connections &&
            !(told && MakeRoom(now_ns))) {
            return std::string();
        }
        const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            connections_[fd].last_ns = now_ns;
            // A request already waiting in the socket keeps its connection.
            Read(fd, now_ns);
            continue;
        }
        const int error = errno;
        if (error == EINTR || error == ECONNABORTED) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            // A listener that hangs up has been shut down: nothing will come.
            if ((revents & (POLLHUP | POLLERR)) == 0) return std::string();
            return "accept: the listening socket hung up";
        }
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
            // The reserve makes room for this one client; without it the next ones
            // wait in the backlog until descriptors are free again.
            if (reserve_fd_ >= 0) {
                close(reserve_fd_);
                reserve_fd_ = -1;
                continue;
            }
            TW_WARNING("RequestLoop", "accept: %s, accept again in %d ms", strerror(error),
                       kAcceptRestMs);
            accept_rest_ = true;
            return std::string();
        }
        return std::string("accept: ") + strerror(error);
    }
}

void RequestLoop::Read(int fd, uint64_t now_ns) {
    auto found = connections_.find(fd);
    // The next request waits until the answer to the last one has gone out.
    if (found == connections_.end() || found->second.busy || !found->second.output.empty()) {
        return;
    }
    Connection& connection = found->second;
    char buf[16384];
    // Reads stop at a whole request: a client cannot make the daemon buffer more.
    while (!connection.ended) {
        const int64_t length = AnnouncedLength(connection.input);
        if (length >= 0 && connection.input.size() >= kFrameHeader + length) break;
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n > 0) {
            connection.input.append(buf, static_cast<size_t>(n));
            connection.last_ns = now_ns;
        } else if (n == 0) {
            connection.ended = true;
        } else if (errno != EINTR) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                connection.ended = true;
                connection.input.clear();
            }
            break;
        }
        if (length > limits_.max_frame) break;
    }
    Dispatch(fd);
}

void RequestLoop::Dispatch(int fd) {
    Connection& connection = connections_[fd];
    const int64_t length = AnnouncedLength(connection.input);
    if (length == 0 || length > limits_.max_frame) {
        Close(fd);
        return;
    }
    if (length > 0 && connection.input.size() >= kFrameHeader + length) {
        std::string frame = connection.input.substr(kFrameHeader, static_cast<size_t>(length));
        connection.input.erase(0, kFrameHeader + static_cast<size_t>(length));
        connection.busy = true;
        {
            std::lock_guard<std::mutex> lock(jobs_mutex_);
            jobs_.push_back({fd, std::move(frame)});
        }
        jobs_changed_.notify_one();
        return;
    }
    // Half a request from a client that has gone will never be whole.
    if (connection.ended) Close(fd);
}

void RequestLoop::Close(int fd) {
    connections_.erase(fd);
    close(fd);
}

void RequestLoop::TakeBack(uint64_t now_ns) {
    std::vector<Answer> back;
    {
        std::lock_guard<std::mutex> lock(returned_mutex_);
        back.swap(returned_);
    }
    for (Answer& answer : back) {
        auto found = connections_.find(answer.fd);
        if (found == connections_.end()) continue;
        Connection& connection = found->second;
        connection.busy = false;
        connection.last_ns = now_ns;
        if (!answer.keep) {
            Close(answer.fd);
        } else if (answer.reply.empty()) {
            Dispatch(answer.fd);
        } else {
            connection.output = std::move(answer.reply);
            Flush(answer.fd, now_ns);
        }
    }
}

void RequestLoop::Flush(int fd, uint64_t now_ns) {
    auto found = connections_.find(fd);
    if (found == connections_.end() || found->second.output.empty()) return;
    Connection& connection = found->second;
    while (!connection.output.empty()) {
        const ssize_t n =
            send(fd, connection.output.data(), connection.output.size(), MSG_NOSIGNAL);
        if (n >= 0) {
            connection.output.erase(0, static_cast<size_t>(n));
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        } else if (errno != EINTR) {
            Close(fd);
            return;
        }
    }
    connection.last_ns = now_ns;
    Dispatch(fd);
}

int RequestLoop::CloseIdle(uint64_t now_ns) {
    const uint64_t idle_ns = static_cast<uint64_t>(limits_.idle_ms) * kNsPerMs;
    const uint64_t reply_ns = static_cast<uint64_t>(limits_.reply_ms) * kNsPerMs;
    int wait_ms = -1;
    for (auto it = connections_.begin(); it != connections_.end();) {
        const Connection& connection = it->second;
        const uint64_t silent_ns = now_ns - std::min(now_ns, connection.last_ns);
        const uint64_t limit_ns = connection.output.empty() ? idle_ns : reply_ns;
        if (connection.busy) {
            ++it;
        } else if (silent_ns >= limit_ns) {
            close(it->first);
            it = connections_.erase(it);
        } else {
            const int left_ms = static_cast<int>((limit_ns - silent_ns) / kNsPerMs) + 1;
            wait_ms = wait_ms < 0 ? left_ms : std::min(wait_ms, left_ms);
            ++it;
        }
    }
    return wait_ms;
}

bool RequestLoop::MakeRoom(uint64_t now_ns) {
    while (connections_.size() >= limits_.max_connections) {
        auto oldest = connections_.end();
        for (auto it = connections_.begin(); it != connections_.end(); ++it) {
            if (!it->second.Idle()) continue;
            if (oldest == connections_.end() || it->second.last_ns < oldest->second.last_ns) {
                oldest = it;
            }
        }
        if (oldest == connections_.end()) return false;
        const int fd = oldest->first;
        // Bytes that came since the last look make it a connection with a request.
        Read(fd, now_ns);
        auto found = connections_.find(fd);
        if (found != connections_.end() && found->second.Idle()) Close(fd);
    }
    return true;
}

void RequestLoop::Work() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(jobs_mutex_);
            jobs_changed_.wait(lock, [this] { return workers_stopping_ || !jobs_.empty(); });
            if (workers_stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        std::string reply;
        const bool keep = Carry(job.frame, &reply);
        Returned({job.fd, keep, std::move(reply)});
    }
}

void RequestLoop::StopWorkers() {
    {
        std::lock_guard<std::mutex> lock(jobs_mutex_);
        workers_stopping_ = true;
        jobs_.clear();
    }
    jobs_changed_.notify_all();
    for (std::thread& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
}

bool RequestLoop::Carry(const std::string& frame, std::string* reply) {
    auto input = std::make_shared<TMemoryBuffer>(
        reinterpret_cast<uint8_t*>(const_cast<char*>(frame.data())),
        static_cast<uint32_t>(frame.size()));
    auto output = std::make_shared<TMemoryBuffer>();
    // No string or container can be longer than the frame that holds it.
    TBinaryProtocolFactoryT<TTransport> protocols(limits_.max_frame, limits_.max_frame, false,
                                                  true);
    try {
        if (!processor_->process(protocols.getProtocol(input), protocols.getProtocol(output),
                                 nullptr)) {
            return false;
        }
    } catch (const std::exception& e) {
        TW_WARNING("RequestLoop", "request dropped with its connection: %s", e.what());
        return false;
    }
    uint8_t* body = nullptr;
    uint32_t length = 0;
    output->getBuffer(&body, &length);
    if (length == 0) return true;
    reply->assign(kFrameHeader + length, '\0');
    (*reply)[0] = static_cast<char>(length >> 24);
    (*reply)[1] = static_cast<char>(length >> 16);
    (*reply)[2] = static_cast<char>(length >> 8);
    (*reply)[3] = static_cast<char>(length);
    memcpy(&(*reply)[kFrameHeader], body, length);
    return true;
}

void RequestLoop::Returned(Answer answer) {
    {
        std::lock_guard<std::mutex> lock(returned_mutex_);
        returned_.push_back(std::move(answer));
    }
    if (wake_fd_ >= 0) Post(wake_fd_);
}

}  // namespace tendwell
