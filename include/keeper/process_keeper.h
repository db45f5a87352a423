// The process keeper: the table of kept processes, one runner per started process
// on a thread pool, start, stop and signalling of process groups, the identity
// check through /proc and the state file that lets a later daemon re-adopt what
// still runs.
#pragma once

#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "corvel/mutex.h"
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
        // Time-out of a check command when the configuration sets none.
        static constexpr int32_t kDefaultCheckTimeoutMs = 60000;

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
        // when no process could be made for the start.
        int32_t exit_status = -1;
        // Identity stamp: modification time of /proc/<pid> in microseconds.
        int64_t start_time_us = -1;
        // Time-out of each check command; kept in memory only, never in the state
        // file.
        int32_t check_timeout_ms = kDefaultCheckTimeoutMs;
        // Start of the process at pid in clock ticks since boot, which no step of
        // the wall clock changes; 0 when unknown. Kept in the identity file beside
        // the state file, never in the state file.
        uint64_t start_ticks = 0;
    };

    // Why a start did not start its process, as far as the keeper knows.
    struct StartFailure {
        // The keeper's own want, nothing the process did: its record could not be
        // saved (the child was made but ended before it ran its command, as a later
        // keeper could not have known of it), or no thread, process or descriptor
        // could be made for it.
        bool refused = false;
        // What went wrong, such as "save state file PATH failed: No space left on
        // device" or "no process could be made for it: Resource temporarily
        // unavailable"; empty when the start only ran out of time.
        std::string reason;
    };

    // One start of StartEach: the name, and how the start went.
    struct StartRequest {
        std::string name;
        bool started = false;
        // What Start would have appended to its message.
        std::string msg;
        StartFailure failure;
    };

    // Receives the keeper's warnings (a state or identity file it refuses, saves
    // that fail); the keeper writes no log of its own. operation names the keeper's
    // operation.
    using WarningSink = std::function<void(const char* operation, const std::string& text)>;
    // Told on a runner's thread each time a runner reports that its process has
    // ended (or that none could be made), once the record shows it; it must not
    // block.
    using ExitSink = std::function<void()>;

    // Starts and watches one process on a pool thread (keeper/runner.h).
    class Runner;

    // The process-wide keeper.
    static ProcessKeeper* GetInstance();

    // Normally reached through GetInstance; a separate instance serves tests.
    ProcessKeeper();
    // Ends the runners as Shutdown does, without saving; processes go on.
    ~ProcessKeeper();
    ProcessKeeper(const ProcessKeeper&) = delete;
    ProcessKeeper& operator=(const ProcessKeeper&) = delete;

    // Without a sink warnings go nowhere; set it before Init to hear about the load.
    void SetWarningSink(WarningSink sink);
    // Without a sink exits are only seen by looking; runners take the sink when
    // they are made, so set it before Init.
    void SetExitSink(ExitSink sink);
    // Set by the process that keeps the files for its life, holding their lock
    // (the daemon): its table is then the one truth, written over whatever another
    // process put at the files' paths. Otherwise a save replaces only the keeper's
    // own file.
    void SetOwnsFiles();
    // Another process keeps the files now: from here on this keeper writes
    // neither, and so makes no start, which must be saved before it runs.
    void Disown();
    // Loads the state file at save_path, starts the pool and re-adopts what still
    // runs. A second call does nothing.
    bool Init(const std::string& save_path);
    bool Add(const Process& process, std::string* msg);
    bool Remove(const std::string& name, std::string* msg);
    // A pid-mode child runs its command only once its record, with its pid, is
    // saved. On failure, failure (when not null) says why.
    bool Start(const std::string& name, uint32_t timeout_ms, std::string* msg,
               StartFailure* failure = nullptr);
    // Starts each as Start does, but side by side: every runner is handed over, in
    // the order given, before any start is awaited, and each start has timeout_ms
    // from then. One save covers them all: every pid-mode child waits at its gate
    // until it and is then let go, in the same order; when the save fails, every
    // one of them ends unrun and its start is refused.
    void StartEach(std::vector<StartRequest>* starts, uint32_t timeout_ms);
    bool Stop(const std::string& name, uint32_t timeout_ms, std::string* msg);
    bool Restart(const std::string& name, uint32_t timeout_ms, std::string* msg,
                 StartFailure* failure = nullptr);
    bool Signal(const std::string& name, int signo, std::string* msg);
    void GetAll(std::map<std::string, Process>* out);
    bool Get(const std::string& name, Process* out);
    bool StopAll(uint32_t timeout_ms, std::string* msg);
    bool Shutdown();

    // Test seam: called with the keeper's lock held once a start is seen, before
    // the save that lets its child run its command.
    void SetBeforeSaveHook(std::function<void(const std::string& name)> hook);

    // The state file; called with the keeper's lock held. Save writes the table
    // now; the keeper's operations write it only when it changed. A keeper that
    // does not own its files replaces or removes only the file Load found or it
    // last wrote, and makes one only where none stands: a file another process made
    // there since is left as it is, and the save fails. A keeper that owns its files
    // writes its table over whatever stands there, saying so when another process
    // put it there.
    bool Save();
    bool Load();
    // Raw wait status of command run by the shell with a time-out; 0 is success.
    static int Exec(const std::string& command, int32_t timeout_ms);
    // Modification time of /proc/<pid> in microseconds; 0 when unreadable.
    static int64_t ProcStartTime(pid_t pid);
    // Whether the recorded process is still the same one and alive: in check mode
    // its check command passes; otherwise the process at pid is neither pid 1,
    // this process nor a member of this process's group, and has the recorded
    // start ticks, or, where they are unknown (a state file without identities),
    // has the stamp or started no later than it (the kernel rebuilds /proc
    // entries).
    static bool Verify(const Process& process);
private:
    // One start of a batch: its record and runner (null when the start ended
    // before its runner was needed), and, once launched, the pid of its process.
    struct Launched {
        StartRequest* request = nullptr;
        Runner* runner = nullptr;
        Process* record = nullptr;
        bool handed = false;
        pid_t pid = -1;
    };
    // How a start of a batch stands: still waiting for its process, launched (the
    // process is there, its child at its gate, and the record shows it; only the
    // save is missing) or failed.
    enum Look { kWaiting, kLaunched, kFailed };

    bool StartLocked(const std::string& name, uint32_t timeout_ms, std::string* msg,
                     StartFailure* failure);
    void StartEachLocked(std::vector<StartRequest>* starts, uint32_t timeout_ms);
    // The record and runner of a start, made when missing; a null runner when the
    // start ends here (not found, already running).
    Launched Prepare(StartRequest* request);
    // Hands the runner over unless it is or was; false when no thread can run it.
    bool HandOver(Launched* launch);
    // How the start stands now; hands its runner over once a run still ending
    // lets it.
    Look LookAt(Launched* launch);
    // Saves the launched starts, then lets their children run, or, when the save
    // fails, ends every child still at its gate unrun.
    void SaveLaunched(const std::vector<Launched>& launched);
    bool StopLocked(const std::string& name, uint32_t timeout_ms, std::string* msg);
    void GetAllLocked(std::map<std::string, Process>* out);
    // Asks every runner to quit, gives them a moment to, stops the pool and
    // deletes them; the processes go on running.
    void EndRunners();
    // The record takes the state its runner last saw, if it has a runner.
    void Refresh(const std::string& name, Process* process);
    // The record takes seen, a runner's copy: its state, pid and exit status.
    static void TakeSeen(const Process& seen, Process* process);
    // The record takes a start the runner confirmed: pid, state and stamp.
    static void Confirm(const Process& seen, Process* process);
    // Raw wait status of the record's check command, run within its time-out.
    static int RunCheck(const Process& process);
    // The start ticks of the recorded process when it is the one at its pid and
    // alive (see Verify); 0 otherwise.
    static uint64_t IdentifiedStart(const Process& process);
    // Reaps the recorded process when it has ended and is a child of this process
    // that no runner waits for (one adopted by a keeper re-initialised here).
    static void ReapEnded(const Process& process);
    // Waits until a runner changes its copy of a record, end_fd (unless -1) becomes
    // readable or moment_ms after start_ns has come, looking again every few
    // milliseconds when look is set; true once that moment has come.
    bool AwaitChange(uint64_t start_ns, int64_t moment_ms, bool look, int end_fd = -1);
    // Saves unless the files already hold what the table would write: the state
    // file's bytes as last written, and still the files that save made (or, for an
    // inactive table, still no file). An idle keeper writes nothing. 0, or the
    // error that stopped the save.
    int SaveIfChanged();
    // The state file's bytes for the table; empty when no record is active, and then
    // there is to be no file.
    std::string StateText() const;
    // Whether a record is starting or running: only then is there a state file.
    bool AnyActive() const;
    // Writes the identity file and then text to the state file, or removes both for
    // an empty text; 0, or the error.
    int Store(std::string text);
    // Writes the identity file for the table, or removes it when this boot's id
    // cannot be read; 0, or the error.
    int StoreIdentities();
    // The words for a save that failed with error.
    std::string SaveFailure(int error) const;
    // Applies the identity file to a table just loaded.
    void LoadIdentities(std::map<std::string, Process>* table);
    // Reads the state file into table, *st describing it: 1, 0 when it is damaged
    // (the records read before the damage stay), -1 with errno when it cannot be
    // opened (EPERM: not a file to trust).
    int ReadStateFile(std::map<std::string, Process>* table, struct stat* st);
    // Whether a save may write or remove what stands at the state file's path:
    // nothing, or the file Load found or the keeper last wrote. *present tells
    // whether anything stands there.
    bool MayReplace(bool* present) const;
    const std::string& BootId();
    void Warn(const char* operation, const std::string& text);

    corvel::ThreadPool pool_;
    std::map<std::string, Process> processes_;
    std::map<std::string, Runner*> runners_;
    std::string save_path_;
    corvel::Mutex mutex_;
    bool initialized_ = false;
    // Written by every runner when its copy changes, read by the one waiting
    // Start or Stop; -1 when it could not be made, and the waits then only look.
    int changed_fd_;
    // Readable from the moment EndRunners quits the runners until they are gone:
    // it ends every runner's wait, so that none needs a descriptor of its own for
    // that. -1 when it could not be made, and the runners' waits then look.
    int quit_fd_;
    WarningSink warning_sink_;
    ExitSink exit_sink_;
    // When a failing save was last reported; 0 before the first.
    uint64_t save_warned_ns_ = 0;
    // What the last successful save left: the text (empty: no file) and the files
    // it wrote; unset before the first and after a failure.
    std::optional<std::string> saved_text_;
    struct stat saved_file_ = {};
    bool identities_saved_ = false;
    struct stat saved_identities_ = {};
    // The identity of the state file found by Load or last written, the one a save
    // may replace; empty while there is none. The same of the identity file.
    std::string own_file_;
    std::string own_identities_;
    bool owns_files_ = false;
    bool disowned_ = false;
    // This boot's id, read at the first save or load that needs it.
    std::string boot_id_;
    std::function<void(const std::string& name)> before_save_;
};

}  // namespace tendwell
