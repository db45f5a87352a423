// Plays another process at the instance lock.
//   PATH READY         a client's probe caught at its worst moment: holds the lock on
//                      the file at PATH, marked as a probe marks it, until some other
//                      process opens that file, then removes the file and ends.
//   PATH READY replace [GO]
//                      another program that puts a file of its own in place of PATH,
//                      locked without a mark, as a daemon holds it, until killed;
//                      with GO, only once the file GO exists (it may start before
//                      the daemon it plays against, and so be the older).
//   claim NAME READY [bound]
//                      another program that holds the abstract socket name NAME,
//                      listening (or, with bound, only bound), until killed.
//   bind PATH          another program that leaves a socket at PATH: binds it and ends.
// READY is created once the lock (or the name) is held.
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

namespace {

int HoldName(const char* name, const char* ready, bool listening) {
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    const size_t len = strlen(name);
    if (len + 1 >= sizeof(addr.sun_path)) return 2;
    memcpy(addr.sun_path + 1, name, len);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 ||
        bind(fd, reinterpret_cast<struct sockaddr*>(&addr),
             static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + len)) != 0 ||
        (listening && listen(fd, 8) != 0)) {
        perror("lock_probe");
        return 1;
    }
    close(open(ready, O_WRONLY | O_CREAT, 0600));
    for (;;) pause();
}

}  // namespace

int LeaveSocket(const char* path) {
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof(addr.sun_path)) return 2;
    strcpy(addr.sun_path, path);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        perror("lock_probe");
        return 1;
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "bind") == 0) return LeaveSocket(argv[2]);
    if ((argc == 4 || argc == 5) && strcmp(argv[1], "claim") == 0) {
        return HoldName(argv[2], argv[3], argc == 4 || strcmp(argv[4], "bound") != 0);
    }
    const bool replace = (argc == 4 || argc == 5) && strcmp(argv[3], "replace") == 0;
    if (argc != 3 && !replace) {
        fprintf(stderr,
                "usage: %s PATH READY [replace [GO]] | claim NAME READY [bound] | bind PATH\n",
                argv[0]);
        return 2;
    }
    while (argc == 5 && access(argv[4], F_OK) != 0) usleep(10000);
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
