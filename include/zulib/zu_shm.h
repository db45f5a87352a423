// The machine-wide process table in System V shared memory: every process that opens the
// process log registers its name and pid there, and may publish named integer items that
// other processes read. Diagnostics go to standard error.
#pragma once

constexpr int ZU_SHM_PROCS = 1000;
constexpr int ZU_SHM_ITEMS = 100;  // items per process, before zu_log_setshmitems
constexpr int ZU_SHM_NAME_SIZE = 256;
constexpr int ZU_SHM_ITEM_NAME_SIZE = 32;
constexpr int ZU_SHM_STATUS_SIZE = 10;

// One process entry (288 bytes).
struct zu_shmproc_t {
    char name[ZU_SHM_NAME_SIZE];  // "@NULL@" when free
    int pid;                      // -1 when free
    char text[20];
    char reserved[8];
};

// One item (36 bytes).
struct zu_shmitem_t {
    char name[ZU_SHM_ITEM_NAME_SIZE];  // "@NULL@" when free
    int value;                         // -1 when free
};

// Items per process: n above 99 gives n, else 100; returns that count. Every process
// using one segment must use the same count.
int zu_log_setshmitems(int n);

// Creates the segment and its semaphore (neither may exist), marks every entry free and
// attaches. 0 / -1.
int zu_log_shmcreate();
// Attaches the existing segment for writing; -1 when there is none or it is too small.
int zu_log_attachshm();
int zu_log_detachshm();

// Registers this process under procname; nothing is registered when there is no segment,
// its semaphore cannot be had in time, or the table is full. Always 0.
int zu_log_shmregister(const char* procname);
// Frees this process's entry; -1 when the semaphore cannot be had in time or released.
int zu_log_shmunregister();

// This process's own items. zu_log_finditem gives the index that zu_log_setitem and
// zu_log_incitem take.
int zu_log_additem(const char* name, int value);
int zu_log_finditem(const char* name);
int zu_log_setitem(int index, int value);
int zu_log_incitem(int index, int delta);

// Reading another process: choose it by name (ends this process with status 1 when the
// segment cannot be attached), then read its items and status text.
int zu_log_openproc(const char* procname);
int zu_log_getitem(const char* name, int* value);
int zu_log_getstatus(char* buf, int n);

// procname null: frees every entry. procname alone: frees that entry. Else resets the
// entry's status text (status non-zero) and the named item. -1 when not attached for
// writing or the process or item is unknown.
int zu_log_shmclear(const char* procname, const char* item, int status);

// Iterators. zu_log_nextproc copies the next entry named name (any used entry when name
// is null) into out (a zu_shmproc_t): 1, 0 at the end; a null out restarts.
int zu_log_nextproc(const char* name, void* out);
// Walks the items of one process, chosen by the first call: copies the next used item
// into out (a zu_shmitem_t) and/or the status text into status (n bytes). 1, 0 at the
// end (or status unset); all three null restarts and forgets the process.
int zu_log_nextitem(const char* procname, void* out, char* status, int n);
