// Plays a client's probe of the instance lock caught at its worst moment: holds the
// lock on the file at PATH, marked as a probe marks it, until some other process
// opens that file, then removes the file and ends, as a probe does. READY is
// created once the lock is held.
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s PATH READY\n", argv[0]);
        return 2;
    }
    int fd = open(argv[1], O_RDWR | O_CREAT, 0600);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    int watch = inotify_init1(IN_CLOEXEC);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 || fcntl(fd, F_SETLK, &lock) != 0 || watch < 0 ||
        inotify_add_watch(watch, argv[1], IN_OPEN) < 0) {
        perror("lock_probe");
        return 1;
    }
    close(open(argv[2], O_WRONLY | O_CREAT, 0600));
    char event[sizeof(struct inotify_event) + 256];
    if (read(watch, event, sizeof(event)) <= 0) return 1;
    unlink(argv[1]);
    return 0;
}
