// The keeper's runner: starts one kept process and watches it on a pool thread.
#pragma once

#include <stdint.h>

#include "corvel/mutex.h"
#include "corvel/runnable.h"
#include "corvel/spawn.h"
#include "keeper/process_keeper.h"

namespace tendwell {

// Starts and watches one process on a pool thread; it writes what it sees into
// its own copy of the record, which the keeper reads under its own lock.
class ProcessKeeper::Runner : public corvel::Runnable {
public:
    // changed_fd, when not -1, is written each time the copy changes; quit_fd, when
    // not -1, becomes readable once every run is to quit, and is never read here;
    // exited, when set, is told each time the copy shows an end.
    Runner(const Process& process, int changed_fd, int quit_fd, ExitSink exited);
    ~Runner() override;
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    int run() override;

    // A consistent copy of the record as the runner last saw it.
    Process Snapshot();
    // Replaces the whole copy; only while the runner is not busy.
    void Reset(const Process& process);
    // Busy from the hand-over to the pool until run has returned: a busy
    // runner is never handed over again nor deleted.
    bool busy();
    // Called with true at the hand-over, after Reset: a pid-mode copy in
    // state 2 then makes the run adopt the recorded process.
    void set_busy(bool busy);
    // True from such a hand-over while the run watches a process it did not
    // spawn.
    bool adopting();
    // Whether an adopting run's process has ended, as its descriptor or, without
    // one, the identity check shows; the run is then told, so that it ends without
    // waiting for its own look.
    bool AdoptedEnded();
    // A descriptor of the caller's own, to close, that becomes readable when the
    // adopted process ends; -1 when the run adopts none or has no descriptor of it.
    int AdoptedEndFd();
    // Signals the process group of the watched process: a spawned one by its id while
    // it runs, an adopted one only through its descriptor, or, without one, once its
    // identity holds, as its pid may already belong to another program.
    bool Signal(int signo);
    // Asks run to return at its next wait, leaving the copy as it is and the
    // process running; a child still at its gate is ended unrun. A wait ends once
    // quit_fd is readable, or, without it, at its next look.
    void Quit();
    // Lets the child this run spawned run its command, if it still waits at its
    // gate and is pid: its record, with that pid, has been saved.
    void Release(pid_t pid);
    // Ends the child still waiting at its gate before it runs anything; false when
    // there is none.
    bool Refuse();
    // Why the last pid-mode run could make no process, or run no shell in it; 0
    // when it could.
    int start_error();

private:
    // The ways of watching, given the copy as run found it.
    void RunPidMode(const Process& process);
    void Adopt(const Process& process);
    void RunCheckMode(const Process& process);
    void SetState(int32_t status, bool running);
    // The gate's descriptor while it is held or the child has not left it; -1 after.
    int GateFd();
    // Closes the gate once the child has left it; with wait, waits for that (the
    // child has ended or been released).
    void SettleGate(bool wait);
    // Marks the copy ended and reports it.
    void SetEnded(int32_t exit_status);
    // Tells the exit sink, if there is one.
    void ReportExit();
    // Every change run makes to the copy goes through here: change runs under the
    // lock, and a waiting Start or Stop is woken.
    template <class Change>
    void Update(Change change) {
        {
            corvel::MutexLockGuard guard(mutex_);
            change(process_);
        }
        Changed();
    }
    void Changed();
    // Waits up to ms (below 0: without limit) for fd, when not -1, to become
    // readable, for gate_fd, when not -1, to hang up, for quit_fd or for a wake-up.
    // True when run is asked to quit.
    bool Pause(int fd, int gate_fd, int ms);
    void Wake();

    corvel::Mutex mutex_;
    Process process_;
    bool busy_ = false;
    bool adopting_ = false;
    // A descriptor of the adopted process, taken at the hand-over once the process was
    // verified; -1 when the run adopts none, when the process was not the recorded one
    // or where the kernel has none. Closed only when the run has ended.
    int adopted_fd_ = -1;
    bool quit_ = false;
    bool woken_ = false;
    // Holds the child until its record is saved.
    corvel::ShellGate gate_;
    bool refused_ = false;
    int start_error_ = 0;
    // Wakes a run that adopts a process without a descriptor of it, the one wait
    // whose end nothing else shows at once; taken with adopted_fd_, and -1 in every
    // other run, or when it could not be made (the run then looks every few
    // milliseconds). Every other run waits for its process's descriptor or for
    // time alone: a descriptor of each run's own would hold a daemon to half the
    // processes under a descriptor limit.
    int wake_fd_ = -1;
    const int quit_fd_;
    int changed_fd_;
    const ExitSink exited_;
};

}  // namespace tendwell
