// Checked System V IPC calls.
#include "zu_syserr.h"
#include "zulib/zu_syscall.h"

key_t zu_ftok(const char* path, int proj_id) {
    key_t key = ftok(path, proj_id);
    if (key == -1)
        ZU_SYSWARN("ftok(%s,%c) call failed.error[%d] info is '%s'.", path, static_cast<signed char>(proj_id));
    return key;
}

int zu_shmget(key_t key, size_t size, int flags) {
    if (key < 0) return -1;
    int id = shmget(key, size, flags);
    if (id == -1) ZU_SYSWARN("shmget(%d,%zu,%d) call failed.error[%d] info is '%s'.", key, size, flags);
    return id;
}

void* zu_shmat(int shmid, const void* addr, int flags) {
    void* p = shmat(shmid, addr, flags);
    if (p == reinterpret_cast<void*>(-1)) ZU_SYSWARN("shmat(%d,%d) call failed.error[%d] info is '%s'.", shmid, flags);
    return p;
}

int zu_shmdt(const void* addr) {
    int ret = shmdt(addr);
    if (ret == -1) ZU_SYSWARN("shmdt() call failed.error[%d] info is '%s'.");
    return ret;
}

int zu_shmctl(int shmid, int cmd, struct shmid_ds* buf) {
    int ret = shmctl(shmid, cmd, buf);
    if (ret == -1) ZU_SYSWARN("shmctl(%d,%d) call failed.error[%d] info is '%s'.", shmid, cmd);
    return ret;
}

int zu_semget(key_t key, int nsems, int flags) {
    int id = semget(key, nsems, flags);
    if (id == -1) ZU_SYSWARN("semget(%d,%d,%d) call failed.error[%d] info is '%s'.", key, nsems, flags);
    return id;
}

int zu_semctl(int semid, int semnum, int cmd, zu_semun_t arg) {
    int ret = semctl(semid, semnum, cmd, arg);
    if (ret == -1) ZU_SYSWARN("semctl(%d,%d,%d) call failed.error[%d] info is '%s'.", semid, semnum, cmd);
    return ret;
}

int zu_semop(int semid, struct sembuf* ops, size_t nops) {
    int ret;
    do {
        ret = semop(semid, ops, nops);
    } while (ret == -1 && errno == EINTR);
    if (ret == -1) ZU_SYSWARN("semop(%d) call failed.error[%d] info is '%s'.", semid);
    return ret;
}

int zu_msgget(key_t key, int flags) {
    int id = msgget(key, flags);
    if (id == -1) ZU_SYSWARN("msgget(%d,%d) call failed.error[%d] info is '%s'.", key, flags);
    return id;
}

int zu_msgctl(int msqid, int cmd, struct msqid_ds* buf) {
    int ret = msgctl(msqid, cmd, buf);
    if (ret == -1) ZU_SYSWARN("msgctl(%d,%d) call failed.error[%d] info is '%s'.", msqid, cmd);
    return ret;
}

int zu_msgsnd(int msqid, const void* msg, size_t size, int flags) {
    int ret = msgsnd(msqid, msg, size, flags);
    if (ret == -1) ZU_SYSWARN("msgsnd(%d,%zu,%d) call failed.error[%d] info is '%s'.", msqid, size, flags);
    return ret;
}

int zu_msgrcv(int msqid, void* msg, size_t size, long type, int flags) {
    int ret = static_cast<int>(msgrcv(msqid, msg, size, type, flags));
    if (ret == -1) ZU_SYSWARN("msgrcv(%d,%zu,%ld,%d) call failed.error[%d] info is '%s'.", msqid, size, type, flags);
    return ret;
}
