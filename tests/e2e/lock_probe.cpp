// Plays another process at the instance lock.
//   PATH READY         a client's probe caught at its worst moment: holds the lock on
//                      the file at PATH, marked as a probe marks it, until some other
//                      process opens that file, then removes the file and ends.
//   PATH READY replace another program that puts a file of its own in place of PATH,
//                      locked without a mark, as a daemon holds it, until killed.
// READY is created once the lock is held.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <string>

int main(int argc, char** argv) {
    const bool replace = argc == 4 && strcmp(argv[3], "replace") == 0;
    if (argc != 3 && !replace) {
        fprintf(stderr, "usage: %s PATH READY [replace]\n", argv[0]);
        return 2;
    }
    // Locked before it takes the path, so that nobody else can lock it first.
    const std::string made = replace ? std::string(argv[1]) + ".other" : argv[1];
    int fd = open(made.c_str(), O_RDWR | O_CREAT, 0600);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fd < 0 || (!replace && flock(fd, LOCK_EX | LOCK_NB) != 0) ||
        fcntl(fd, F_SETLK, &lock) != 0 || (replace && rename(made.c_str(), argv[1]) != 0)) {
        perror("lock_probe");
        return 1;
    }
    if (replace) {
        close(open(argv[2], O_WRONLY | O_CREAT, 0600));
        for (;;) pause();
    }
    int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, argv[1], IN_OPEN) < 0) {
        perror("lock_probe");
        return 1;
    }
    close(open(argv[2], O_WRONLY | O_CREAT, 0600));
    char event[sizeof(struct inotify_event) + 256];
    if (read(watch, event, sizeof(event)) <= 0) return 1;
    unlink(argv[1]);
    return 0;
}
