// The process keeper: the table of kept processes, one runner per started process
// on a thread pool, start, stop and signalling of process groups, the identity
// check through /proc and the state file that lets a later daemon re-adopt what
// still runs.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <string>

#include "corvel/mutex.h"
#include "corvel/runnable.h"
#include "corvel/thread_pool.h"

namespace tendwell {

class ProcessKeeper {
public:
    enum ProcessStatus {
        PROCESS_STOPPED = 0,
        PROCESS_STARTING = 1,
        PROCESS_RUNNING = 2,
        // Never set by the keeper; the tendlet manager uses it.
        PROCESS_STOPPING = 3,
    };

    // The keeper's record of one process. A non-empty command is pid mode (the
    // keeper runs it as its child); otherwise start and check commands make check
    // mode (the process is watched by running the check command).
    struct Process {
        // Class version written to and accepted from the state file.
        static constexpr unsigned int kVersion = 1;

        Process() = default;
        Process(const std::string& name, const std::string& command);
        Process(const std::string& name, const std::string& start_command,
                const std::string& check_command, uint32_t check_interval_ms);

        // The one field list of the state file, for both directions; version 0
        // records carry no status and are running exactly when running is set.
        template <class Archive>
        void serialize(Archive& ar, const unsigned int version) {
            ar & name & command & start_command & check_command & check_interval_ms &
                running & pid & exit_status & start_time_us;
            if (version >= 1) {
                ar & status;
            } else if (Archive::is_loading::value) {
                status = running ? PROCESS_RUNNING : PROCESS_STOPPED;
            }
        }

        std::string name;
        std::string command;
        std::string start_command;
        std::string check_command;
        uint32_t check_interval_ms = 0;
        bool running = false;
        int32_t status = PROCESS_STOPPED;
        // Also the id of the process group the child leads; -1 when none.
        int32_t pid = -1;
        // Raw wait status of the ended child, the failing check's result, or 170
        // when the fork failed.
        int32_t exit_status = -1;
        // Identity stamp: modification time of /proc/<pid> in microseconds.
        int64_t start_time_us = -1;
    };

    // Starts and watches one process on a pool thread; it writes what it sees into
    // its own copy of the record, which the keeper reads under its own lock.
    class Runner : public corvel::Runnable {
    public:
        explicit Runner(const Process& process);
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
        // fork.
        bool adopting();
        // Tells an adopting run that its process was found dead, so that it
        // ends without waiting for its next identity check.
        void MarkEnded();
        // Asks run to return at its next wait, leaving the copy as it is and the
        // process running.
        void Quit();

    private:
        // The ways of watching, given the copy as run found it.
        void RunPidMode(const Process& process);
        void Adopt(const Process& process);
        void RunCheckMode(const Process& process);
        void SetState(int32_t status, bool running);
        void SetEnded(int32_t exit_status);
        // Waits up to ms (below 0: without limit) for fd, when not -1, to become
        // readable or for a wake-up. True when run is asked to quit.
        bool Pause(int fd, int ms);
        void Wake();

        corvel::Mutex mutex_;
        Process process_;
        bool busy_ = false;
        bool adopting_ = false;
        bool quit_ = false;
        bool woken_ = false;
        // Wakes run from its waits; -1 when it could not be made, and then run
        // still notices a wake-up within one look.
        int wake_fd_;
    };

    // The process-wide keeper.
    static ProcessKeeper* GetInstance();

    // Normally reached through GetInstance; a separate instance serves tests.
    ProcessKeeper();
    // Ends the runners as Shutdown does, without saving; processes go on.
    ~ProcessKeeper();
    ProcessKeeper(const ProcessKeeper&) = delete;
    ProcessKeeper& operator=(const ProcessKeeper&) = delete;

    // Loads the state file at save_path, starts the pool and re-adopts what still
    // runs. A second call does nothing.
    bool Init(const std::string& save_path);
    bool Add(const Process& process, std::string* msg);
    bool Remove(const std::string& name, std::string* msg);
    bool Start(const std::string& name, uint32_t timeout_ms, std::string* msg);
    bool Stop(const std::string& name, uint32_t timeout_ms, std::string* msg);
    bool Restart(const std::string& name, uint32_t timeout_ms, std::string* msg);
    bool Signal(const std::string& name, int signo, std::string* msg);
    void GetAll(std::map<std::string, Process>* out);
    bool Get(const std::string& name, Process* out);
    bool StopAll(uint32_t timeout_ms, std::string* msg);
    bool Shutdown();

    // The state file; called with the keeper's lock held.
    bool Save();
    bool Load();

    // Raw wait status of command run by the shell with a time-out; 0 is success.
    static int Exec(const std::string& command, int32_t timeout_ms);
    // Modification time of /proc/<pid> in microseconds; 0 when unreadable.
    static int64_t ProcStartTime(pid_t pid);
    // Whether the recorded process is still the same one and alive.
    static bool Verify(const Process& process);

private:
    bool StartLocked(const std::string& name, uint32_t timeout_ms, std::string* msg);
    bool StopLocked(const std::string& name, uint32_t timeout_ms, std::string* msg);
    void GetAllLocked(std::map<std::string, Process>* out);
    // Asks every runner to quit, gives them a moment to, stops the pool and
    // deletes them; the processes go on running.
    void EndRunners();
    // The record takes the state its runner last saw, if it has a runner.
    void Refresh(const std::string& name, Process* process);
    // The record takes a start the runner confirmed: pid, state and stamp.
    static void Confirm(const Process& seen, Process* process);

    corvel::ThreadPool pool_;
    std::map<std::string, Process> processes_;
    std::map<std::string, Runner*> runners_;
    std::string save_path_;
    corvel::Mutex mutex_;
    bool initialized_ = false;
};

}  // namespace tendwell
