// Runs one test command as a child subreaper, so that orphans of the command's
// descendants (a daemon whose starter has exited, tendlets left by an abort) are
// reaped here as init would reap them on a real machine: a dead process must not
// linger as a zombie that still looks alive to an identity check.
#include <errno.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s COMMAND [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        perror("prctl");
        return 2;
    }
    pid_t command = fork();
    if (command < 0) {
        perror("fork");
        return 2;
    }
    if (command == 0) {
        execvp(argv[1], argv + 1);
        perror("execvp");
        _exit(127);
    }
    int status = 0;
    for (;;) {
        int st = 0;
        pid_t pid = wait(&st);
        if (pid == command) {
            status = st;
            break;
        }
        if (pid < 0 && errno != EINTR) {
            break;
        }
    }
    // What the command killed on its way out dies in a moment: reap it too.
    const struct timespec tick = {0, 10 * 1000 * 1000};
    for (int i = 0; i < 200 && waitpid(-1, nullptr, WNOHANG) >= 0; ++i) {
        nanosleep(&tick, nullptr);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
