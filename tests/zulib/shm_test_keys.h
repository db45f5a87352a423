// Keys of a test process's own shared-memory segment and semaphore, used in place of the
// machine-wide ones, and removed (with anything left under them) when the object dies.
#pragma once

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include "../../zulib/zu_shm_keys.h"

namespace testkeys {

class OwnShmKeys {
public:
    OwnShmKeys() : shm_key_(0x30000000 + 2 * getpid()), sem_key_(shm_key_ + 1) {
        Remove();  // left over by an earlier process of the same pid
        zu_log_setshmkeys(shm_key_, sem_key_);
    }
    ~OwnShmKeys() { Remove(); }
    OwnShmKeys(const OwnShmKeys&) = delete;
    OwnShmKeys& operator=(const OwnShmKeys&) = delete;

    key_t shm_key() const { return shm_key_; }
    key_t sem_key() const { return sem_key_; }

    void Remove() const {
        int shm = shmget(shm_key_, 0, 0);
        if (shm != -1) shmctl(shm, IPC_RMID, nullptr);
        int sem = semget(sem_key_, 0, 0);
        if (sem != -1) semctl(sem, 0, IPC_RMID);
    }

private:
    key_t shm_key_;
    key_t sem_key_;
};

}  // namespace testkeys
