#include "zulib/zu_shm.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "zu_shm_keys.h"
#include "zulib/zu_string.h"

static_assert(sizeof(zu_shmproc_t) == 288, "process entry layout");
static_assert(sizeof(zu_shmitem_t) == 36, "item layout");

namespace {

constexpr const char* FREE = "@NULL@";
constexpr size_t BLOCK_RESERVE = 640;  // status text and reserved bytes after the items

std::atomic<key_t> g_shm_key{988988};
std::atomic<key_t> g_sem_key{899899};
// A holder that stops or never lets go must not hang every process opening its log.
std::atomic<int> g_wait_ms{5000};
std::atomic<int> g_items{ZU_SHM_ITEMS};

// This process's view of the segment, under g_mutex. Entries are kept by index, so that
// attaching again (read-only to writable) keeps them.
std::mutex g_mutex;
char* g_base = nullptr;
bool g_readonly = false;
int g_seg_items = 0;  // items per block of the attached segment
int g_own = -1;       // this process's entry
zu_shmitem_t* g_own_copy = nullptr;
int g_own_count = 0;
int g_read = -1;  // entry chosen by zu_log_openproc
int g_proc_cursor = 0;
int g_item_block = -1;  // entry chosen by zu_log_nextitem
int g_item_cursor = 0;

size_t block_size(int items) { return sizeof(zu_shmitem_t) * static_cast<size_t>(items) + BLOCK_RESERVE; }

size_t segment_size(int items) { return ZU_SHM_PROCS * (sizeof(zu_shmproc_t) + block_size(items)); }

zu_shmproc_t* entry(int i) { return reinterpret_cast<zu_shmproc_t*>(g_base) + i; }

char* block(int i) {
    return g_base + ZU_SHM_PROCS * sizeof(zu_shmproc_t) + static_cast<size_t>(i) * block_size(g_seg_items);
}

zu_shmitem_t* item(int i, int j) { return reinterpret_cast<zu_shmitem_t*>(block(i)) + j; }

char* status_text(int i) { return block(i) + sizeof(zu_shmitem_t) * static_cast<size_t>(g_seg_items); }

// Whether a field of the segment, which another process may have left unterminated,
// holds s (cut as it would be stored).
bool field_is(const char* field, size_t size, const char* s) {
    size_t n = strnlen(field, size);
    return n == strnlen(s, size - 1) && memcmp(field, s, n) == 0;
}

void set_field(char* field, size_t size, const char* s) {
    memset(field, 0, size);
    zu_strlcpy(field, s, size);
}

// Copies a field of the segment into buf of n bytes, terminated.
void copy_field(char* buf, int n, const char* field, size_t size) {
    if (n <= 0) return;
    size_t len = strnlen(field, size);
    if (len > static_cast<size_t>(n) - 1) len = static_cast<size_t>(n) - 1;
    memcpy(buf, field, len);
    buf[len] = '\0';
}

bool entry_free(int i) { return field_is(entry(i)->name, ZU_SHM_NAME_SIZE, FREE); }

void reset_item(zu_shmitem_t* it) {
    set_field(it->name, ZU_SHM_ITEM_NAME_SIZE, FREE);
    it->value = -1;
}

void reset_block(int i) {
    set_field(status_text(i), ZU_SHM_STATUS_SIZE, FREE);
    for (int j = 0; j < g_seg_items; ++j) reset_item(item(i, j));
}

void free_entry(int i) {
    zu_shmproc_t* e = entry(i);
    set_field(e->name, ZU_SHM_NAME_SIZE, FREE);
    e->pid = -1;
    set_field(e->text, sizeof(e->text), FREE);
    reset_block(i);
}

int find_entry(const char* name) {
    for (int i = 0; i < ZU_SHM_PROCS; ++i)
        if (field_is(entry(i)->name, ZU_SHM_NAME_SIZE, name)) return i;
    return -1;
}

int find_item(int i, const char* name) {
    for (int j = 0; j < g_seg_items; ++j)
        if (field_is(item(i, j)->name, ZU_SHM_ITEM_NAME_SIZE, name)) return j;
    return -1;
}

void forget_own() {
    g_own = -1;
    g_own_count = 0;
}

void detach() {
    if (g_base) shmdt(g_base);
    g_base = nullptr;
    forget_own();
    g_read = -1;
    g_item_block = -1;
}

// Attaches the existing segment (for writing unless readonly); 0, or -1 with errno set.
// A segment smaller than the current item count needs is refused: its blocks would
// reach past its end.
int attach(bool readonly) {
    if (g_base && (readonly || !g_readonly)) return 0;
    int items = g_items.load();
    int id = shmget(g_shm_key.load(), 0, 0644);
    struct shmid_ds ds;
    if (id == -1 || shmctl(id, IPC_STAT, &ds) == -1) return -1;
    if (ds.shm_segsz < segment_size(items)) {
        fprintf(stderr, "in log : share memory size %zu is less than %zu\n", static_cast<size_t>(ds.shm_segsz),
                segment_size(items));
        errno = EINVAL;
        return -1;
    }
    void* p = shmat(id, nullptr, readonly ? SHM_RDONLY : 0);
    if (p == reinterpret_cast<void*>(-1)) return -1;
    if (g_base) shmdt(g_base);
    if (items != g_seg_items) {
        // Own items laid out for another count cannot be kept.
        free(g_own_copy);
        g_own_copy = nullptr;
        forget_own();
    }
    g_base = static_cast<char*>(p);
    g_readonly = readonly;
    g_seg_items = items;
    return 0;
}

int attach_reporting() {
    if (attach(false) == 0) return 0;
    fprintf(stderr, "in zu_log_attachshm: attach share memory error %s\n", strerror(errno));
    return -1;
}

// Changes the semaphore by delta, waiting at most g_wait_ms; EINTR is retried within the
// same bound. 0, or -1 with a message.
int change_semaphore(short delta) {
    int id = semget(g_sem_key.load(), 1, 0);
    if (id != -1) {
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        long long end_ns = deadline.tv_sec * 1000000000LL + deadline.tv_nsec + g_wait_ms.load() * 1000000LL;
        struct sembuf op = {0, delta, SEM_UNDO};
        for (;;) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            long long left = end_ns - (now.tv_sec * 1000000000LL + now.tv_nsec);
            if (left <= 0) {
                errno = EAGAIN;
                break;
            }
            struct timespec wait = {static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
            if (semtimedop(id, &op, 1, &wait) == 0) return 0;
            if (errno != EINTR) break;
        }
    }
    fprintf(stderr, "in log : semaphore of share memory error %s\n", strerror(errno));
    return -1;
}

bool own_block() { return g_base && !g_readonly && g_own >= 0 && g_own_copy; }

// Applies change to the value of own item index.
template <typename Change>
int change_item(int index, Change change) {
    std::lock_guard<std::mutex> lock(g_mutex);
    int items = g_base ? g_seg_items : g_items.load();
    if (index < 0 || index >= items) {
        fprintf(stderr, "in log :rel_loc is uneffective %d \n", index);
        return -1;
    }
    if (!own_block()) {
        fprintf(stderr, "in log : maybe no apply block from shm\n");
        return -1;
    }
    int& value = item(g_own, index)->value;
    value = change(value);
    return 0;
}

}  // namespace

void zu_log_setshmkeys(key_t shm_key, key_t sem_key) {
    g_shm_key.store(shm_key);
    g_sem_key.store(sem_key);
}

void zu_log_setshmwait(int ms) { g_wait_ms.store(ms); }

int zu_log_setshmitems(int n) {
    int items = n > ZU_SHM_ITEMS - 1 ? n : ZU_SHM_ITEMS;
    g_items.store(items);
    return items;
}

int zu_log_shmcreate() {
    std::lock_guard<std::mutex> lock(g_mutex);
    int items = g_items.load();
    int shm = shmget(g_shm_key.load(), segment_size(items), IPC_CREAT | IPC_EXCL | 0666);
    if (shm == -1) {
        fprintf(stderr, "in log : create share memory error %s\n", strerror(errno));
        return -1;
    }
    int sem = semget(g_sem_key.load(), 1, IPC_CREAT | IPC_EXCL | 0666);
    if (sem == -1 || semctl(sem, 0, SETVAL, 1) == -1) {
        fprintf(stderr, "in log : create semaphore error %s\n", strerror(errno));
        // A segment without its semaphore could never be registered in.
        if (sem != -1) semctl(sem, 0, IPC_RMID);
        shmctl(shm, IPC_RMID, nullptr);
        return -1;
    }
    detach();
    if (attach_reporting() != 0) return -1;
    for (int i = 0; i < ZU_SHM_PROCS; ++i) free_entry(i);
    return 0;
}

int zu_log_attachshm() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return attach_reporting();
}

int zu_log_detachshm() {
    std::lock_guard<std::mutex> lock(g_mutex);
    detach();
    return 0;
}

int zu_log_shmregister(const char* procname) {
    if (!procname || !procname[0]) return 0;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (attach_reporting() != 0 || change_semaphore(-1) != 0) return 0;
    int i = find_entry(procname);
    if (i >= 0) {
        reset_block(i);
    } else {
        i = find_entry(FREE);
    }
    if (i >= 0) {
        if (!g_own_copy) g_own_copy = static_cast<zu_shmitem_t*>(calloc(g_seg_items, sizeof(zu_shmitem_t)));
        set_field(entry(i)->name, ZU_SHM_NAME_SIZE, procname);
        entry(i)->pid = getpid();
        g_own = i;
        g_own_count = 0;
    }
    change_semaphore(1);
    return 0;
}

int zu_log_shmunregister() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!own_block()) return 0;
    if (change_semaphore(-1) != 0) return -1;
    free_entry(g_own);
    forget_own();
    return change_semaphore(1);
}

int zu_log_additem(const char* name, int value) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!own_block()) {
        fprintf(stderr, "in log :maybe no apply block from shm\n");
        return -1;
    }
    if (!name) {
        fprintf(stderr, "in log :name is NULL\n");
        return -1;
    }
    if (strlen(name) >= ZU_SHM_ITEM_NAME_SIZE) {
        fprintf(stderr, "in log : name is tooo long %s\n", name);
        return -1;
    }
    if (g_own_count >= g_seg_items) {
        fprintf(stderr, "in log : no space for new name,for cur_loc is  %d\n", g_own_count);
        return -1;
    }
    for (zu_shmitem_t* it : {item(g_own, g_own_count), &g_own_copy[g_own_count]}) {
        set_field(it->name, ZU_SHM_ITEM_NAME_SIZE, name);
        it->value = value;
    }
    ++g_own_count;
    return 0;
}

int zu_log_finditem(const char* name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (int j = 0; name && j < g_own_count; ++j)
        if (strcmp(g_own_copy[j].name, name) == 0) return j;
    fprintf(stderr, "in log : there is no %s in data block\n", name ? name : "");
    return -1;
}

int zu_log_setitem(int index, int value) {
    return change_item(index, [value](int) { return value; });
}

int zu_log_incitem(int index, int delta) {
    // Wraps like the plain int the value is, without undefined overflow.
    return change_item(index, [delta](int v) {
        return static_cast<int>(static_cast<unsigned>(v) + static_cast<unsigned>(delta));
    });
}

int zu_log_openproc(const char* procname) {
    std::unique_lock<std::mutex> lock(g_mutex);
    if (attach(true) != 0) {
        lock.unlock();
        fprintf(stderr, "in log:  shared memory segments attached failed\n");
        exit(1);
    }
    g_read = procname ? find_entry(procname) : -1;
    if (g_read >= 0) return 0;
    fprintf(stderr, "in log : no item of process : %s\n", procname ? procname : "");
    return -1;
}

int zu_log_getitem(const char* name, int* value) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_base || g_read < 0) {
        fprintf(stderr, "in log : maybe no  block in shm for process \n");
        return -1;
    }
    if (entry_free(g_read)) {
        fprintf(stderr, "in log : the process has closed\n");
        return -1;
    }
    int j = name ? find_item(g_read, name) : -1;
    if (j < 0) {
        fprintf(stderr, "in log:there is no %s in data block\n", name ? name : "");
        return -1;
    }
    if (value) *value = item(g_read, j)->value;
    return 0;
}

int zu_log_getstatus(char* buf, int n) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_base || g_read < 0) {
        fprintf(stderr, "in log : maybe no  block in shm for process \n");
        return -1;
    }
    if (buf) copy_field(buf, n, status_text(g_read), ZU_SHM_STATUS_SIZE);
    return 0;
}

int zu_log_shmclear(const char* procname, const char* item_name, int status) {
    std::lock_guard<std::mutex> lock(g_mutex);
    // A read-only attachment cannot be written.
    if (!g_base || g_readonly) return -1;
    if (!procname) {
        for (int i = 0; i < ZU_SHM_PROCS; ++i) free_entry(i);
        return 0;
    }
    int i = find_entry(procname);
    if (i < 0) return -1;
    if (!item_name && status == 0) {
        free_entry(i);
        return 0;
    }
    if (status != 0) set_field(status_text(i), ZU_SHM_STATUS_SIZE, FREE);
    if (!item_name) return 0;
    int j = find_item(i, item_name);
    if (j < 0) return -1;
    reset_item(item(i, j));
    return 0;
}

int zu_log_nextproc(const char* name, void* out) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!out) {
        g_proc_cursor = 0;
        return 0;
    }
    if (!g_base) return -1;
    while (g_proc_cursor < ZU_SHM_PROCS) {
        int i = g_proc_cursor++;
        if (name ? field_is(entry(i)->name, ZU_SHM_NAME_SIZE, name) : !entry_free(i)) {
            memcpy(out, entry(i), sizeof(zu_shmproc_t));
            return 1;
        }
    }
    return 0;
}

int zu_log_nextitem(const char* procname, void* out, char* status, int n) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!procname && !out && !status) {
        g_item_cursor = 0;
        g_item_block = -1;
        return 0;
    }
    if (!g_base) return -1;
    if (g_item_block < 0) {
        if (!procname) return -1;
        g_item_block = find_entry(procname);
        if (g_item_block < 0) return 0;
        g_item_cursor = 0;
    }
    if (out) {
        int j = g_item_cursor;
        while (j < g_seg_items && field_is(item(g_item_block, j)->name, ZU_SHM_ITEM_NAME_SIZE, FREE)) ++j;
        if (j >= g_seg_items) {
            g_item_cursor = j;
            return 0;
        }
        memcpy(out, item(g_item_block, j), sizeof(zu_shmitem_t));
        g_item_cursor = j + 1;
    }
    if (status) {
        copy_field(status, n, status_text(g_item_block), ZU_SHM_STATUS_SIZE);
        return field_is(status_text(g_item_block), ZU_SHM_STATUS_SIZE, FREE) ? 0 : 1;
    }
    return 1;
}
