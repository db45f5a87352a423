// The control service's connections: one thread waits on all of them, reads
// framed requests as their bytes arrive and writes the answers as their sockets
// take them; a worker takes a connection only once a whole request is there and
// hands the answer back in memory. A client that sends nothing, or half a
// request, or does not read its answer, holds no worker; one silent for a few
// seconds is closed, and so is one whose answer has not gone out in a few
// seconds. Past a cap of open connections the oldest that has sent nothing is
// closed; when every one carries a request or its answer, no more are accepted
// until one ends, and clients wait in the listen backlog.
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <thrift/TProcessor.h>

namespace tendwell {

class RequestLoop {
public:
    struct Limits {
        int workers = 3;
        // Largest request frame; a frame announcing more drops its connection
        // before anything is allocated for it.
        int32_t max_frame = 1 << 20;
        size_t max_connections = 64;
        // A connection that sends nothing for this long is closed.
        int idle_ms = 5000;
        // A client that does not take its reply within this long is dropped.
        int reply_ms = 5000;
    };

    // Throws std::system_error when no worker thread can be made.
    RequestLoop(std::shared_ptr<apache::thrift::TProcessor> processor, const Limits& limits);
    ~RequestLoop();
    RequestLoop(const RequestLoop&) = delete;
    RequestLoop& operator=(const RequestLoop&) = delete;

    // Serves the non-blocking listening socket listen_fd, and each one handed over
    // later, until Stop, then returns an empty string; or returns why accepting
    // failed for good. Every connection is closed by then, once the requests being
    // answered have been, and so is every listening socket: the loop owns them.
    std::string Serve(int listen_fd);
    // From any thread, also before Serve: the loop serves listen_fd from its next
    // turn on. Every connection is kept, and so is every client already waiting at
    // the listening socket it replaces, which is closed once they are accepted.
    void TakeListener(int listen_fd);
    // From any thread, also before Serve.
    void Stop();

private:
    struct Connection {
        std::string input;
        // The framed answer still to be written.
        std::string output;
        // The last byte read, or the answer handed back.
        uint64_t last_ns = 0;
        bool busy = false;
        bool ended = false;
        // Has sent no byte of a request and waits for no answer: may be trimmed.
        bool Idle() const { return !busy && input.empty() && output.empty(); }
    };
    // One whole request for a worker.
    struct Job {
        int fd;
        std::string frame;
    };
    // A worker's answer to a job: the framed reply, or keep false when the
    // connection must go.
    struct Answer {
        int fd;
        bool keep;
        std::string reply;
    };

    // Room for one more connection: under the cap, or an idle one to close.
    bool HasRoom() const;
    // Accepts what waits, revents being what poll reported of listen_fd, and
    // reads what the new clients have sent; why accepting failed for good, or an
    // empty string. Sets accept_rest_ when descriptors have run out. A listener
    // that is going (drain) is emptied past the cap.
    std::string Accept(int listen_fd, short revents, uint64_t now_ns, bool drain = false);
    // The listener to serve from now: listen_fd, or the last one handed over, the
    // others emptied and closed.
    int SwitchListener(int listen_fd, uint64_t now_ns);
    // Reads what fd has sent and hands on a whole request.
    void Read(int fd, uint64_t now_ns);
    // Hands the next whole request of fd to a worker, or closes a connection that
    // has ended or sent a frame out of bounds.
    void Dispatch(int fd);
    void Close(int fd);
    // Answers of the workers to their connections, written as far as the
    // sockets take them (or the connections closed).
    void TakeBack(uint64_t now_ns);
    // Writes what the socket takes of fd's answer; once all of it is out, the
    // connection goes on with its next request.
    void Flush(int fd, uint64_t now_ns);
    // Closes connections silent too long, and those whose answer has not gone
    // out in time; the wait until the next one would be.
    int CloseIdle(uint64_t now_ns);
    // Closes idle connections, oldest first, until there is room for one more;
    // each is read once more before it goes, and one that has sent something
    // stays. False when no idle connection is left to close.
    bool MakeRoom(uint64_t now_ns);
    // A worker's life: takes jobs until the workers are stopped.
    void Work();
    // Ends the workers once the jobs they carry out are done; jobs still queued
    // are dropped.
    void StopWorkers();
    // The worker's part: the framed answer to frame in *reply (empty for a call
    // that wants none); false when the connection must go.
    bool Carry(const std::string& frame, std::string* reply);
    void Returned(Answer answer);

    std::shared_ptr<apache::thrift::TProcessor> processor_;
    Limits limits_;
    std::vector<std::thread> workers_;
    std::mutex jobs_mutex_;
    std::condition_variable jobs_changed_;
    std::deque<Job> jobs_;
    bool workers_stopping_ = false;
    // Readable after Stop and whenever a worker hands a connection back.
    int wake_fd_;
    // Kept for the moment descriptors run out: closed to accept one more client.
    int reserve_fd_;
    bool accept_rest_ = false;
    std::atomic<bool> stopping_{false};
    // Only the serving thread touches the connections.
    std::map<int, Connection> connections_;
    std::mutex returned_mutex_;
    std::vector<Answer> returned_;
    // Listening sockets handed over and not yet served, oldest first.
    std::mutex handed_mutex_;
    std::vector<int> handed_;
};

}  // namespace tendwell
