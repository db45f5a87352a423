// Checked system and libc calls: each zu_ function makes the call of its name with the
// same arguments and returns its result, errno as the call left it; a failure also writes
// one WARNING line naming the call, its arguments, errno and strerror through zu_writelog.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// Memory. zu_malloc zeroes the block; zu_free ignores null.
void* zu_calloc(size_t count, size_t size);
void* zu_malloc(size_t size);
void* zu_realloc(void* ptr, size_t size);
void zu_free(void* ptr);
void* zu_mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
int zu_munmap(void* addr, size_t length);

// Descriptors and files. zu_fcntl takes its third argument as an integer (cast a
// pointer). zu_fpathconf and zu_pathconf return -100 for "no limit".
int zu_open(const char* path, int flags, mode_t mode = 0);
ssize_t zu_read(int fd, void* buf, size_t count);
ssize_t zu_write(int fd, const void* buf, size_t count);
int zu_close(int fd);
int zu_fcntl(int fd, int cmd, long arg = 0);
int zu_dup(int fd);
int zu_dup2(int oldfd, int newfd);
off_t zu_lseek(int fd, off_t offset, int whence);
int zu_pipe(int fds[2]);
int zu_stat(const char* path, struct stat* st);
int zu_fstat(int fd, struct stat* st);
int zu_unlink(const char* path);
int zu_fchmod(int fd, mode_t mode);
int zu_chdir(const char* path);
int zu_fchdir(int fd);
int zu_fchown(int fd, uid_t owner, gid_t group);
int zu_truncate(const char* path, off_t length);
int zu_ftruncate(int fd, off_t length);
long zu_fpathconf(int fd, int name);
long zu_pathconf(const char* path, int name);
int zu_mkfifo(const char* path, mode_t mode);

// Streams and directories. zu_fclose returns -1 on any failure; zu_fgets reports only a
// stream error, not the end of the file.
FILE* zu_fopen(const char* path, const char* mode);
int zu_fclose(FILE* stream);
FILE* zu_fdopen(int fd, const char* mode);
FILE* zu_freopen(const char* path, const char* mode, FILE* stream);
char* zu_fgets(char* buf, int size, FILE* stream);
int zu_fputs(const char* text, FILE* stream);
int zu_fseek(FILE* stream, long offset, int whence);
long zu_ftell(FILE* stream);
int zu_fgetpos(FILE* stream, fpos_t* pos);
int zu_fsetpos(FILE* stream, const fpos_t* pos);
void zu_rewind(FILE* stream);
int zu_remove(const char* path);
int zu_rename(const char* oldpath, const char* newpath);
FILE* zu_tmpfile();
FILE* zu_popen(const char* command, const char* mode);
int zu_pclose(FILE* stream);
DIR* zu_opendir(const char* path);
struct dirent* zu_readdir(DIR* dir);
int zu_closedir(DIR* dir);

// Processes and signals. zu_wait and zu_waitpid count a result of 0 as a failure too.
int zu_kill(pid_t pid, int sig);
int zu_raise(int sig);
int zu_sigemptyset(sigset_t* set);
int zu_sigfillset(sigset_t* set);
int zu_sigaddset(sigset_t* set, int sig);
int zu_sigdelset(sigset_t* set, int sig);
int zu_sigismember(const sigset_t* set, int sig);
int zu_sigaction(int sig, const struct sigaction* act, struct sigaction* old);
int zu_sigprocmask(int how, const sigset_t* set, sigset_t* old);
int zu_sigpending(sigset_t* set);
int zu_sigsuspend(const sigset_t* mask);
pid_t zu_fork();
int zu_execve(const char* path, char* const argv[], char* const envp[]);
pid_t zu_wait(int* status);
pid_t zu_waitpid(pid_t pid, int* status, int options);
int zu_setpgid(pid_t pid, pid_t pgid);
int zu_setpgrp();
unsigned zu_alarm(unsigned seconds);
int zu_pause();
pid_t zu_getpid();
pid_t zu_getpgrp();

// System V IPC. zu_shmget refuses a negative key; zu_semop retries on EINTR.
union zu_semun_t {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};
key_t zu_ftok(const char* path, int proj_id);
int zu_shmget(key_t key, size_t size, int flags);
void* zu_shmat(int shmid, const void* addr, int flags);
int zu_shmdt(const void* addr);
int zu_shmctl(int shmid, int cmd, struct shmid_ds* buf);
int zu_semget(key_t key, int nsems, int flags);
int zu_semctl(int semid, int semnum, int cmd, zu_semun_t arg = zu_semun_t());
int zu_semop(int semid, struct sembuf* ops, size_t nops);
int zu_msgget(key_t key, int flags);
int zu_msgctl(int msqid, int cmd, struct msqid_ds* buf);
int zu_msgsnd(int msqid, const void* msg, size_t size, int flags);
int zu_msgrcv(int msqid, void* msg, size_t size, long type, int flags);
