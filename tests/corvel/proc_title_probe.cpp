// Sets its own process title the way the daemon does, prints what it recorded and
// waits for its standard input to close. Usage: proc_title_probe MODE TEXT
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "corvel/proc_title.h"

extern char** environ;

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    // The room the title can take: arguments and environment strings end to end.
    char* end = argv[argc - 1] + strlen(argv[argc - 1]);
    for (char** env = environ; *env && *env == end + 1; ++env) end = *env + strlen(*env);
    long area = end - argv[0];

    char** args = corvel::proc_title_init(argc, argv);
    if (!args) {
        fprintf(stderr, "Failed to initialize environment variables table.\n");
        return 255;
    }
    errno = 0;
    bool refused = corvel::proc_title_init(argc, args) == nullptr && errno == EINVAL;
    std::string mode = args[1];
    const char* no_format = nullptr;
    int rc = -1;
    if (mode == "plain") rc = corvel::proc_title_set("%s [%s]", "tendwell", args[2]);
    if (mode == "dash") rc = corvel::proc_title_set("-%s", args[2]);
    if (mode == "twice") rc = corvel::proc_title_set("-%s%s", args[2], args[2]);
    if (mode == "null") rc = corvel::proc_title_set(no_format);
    char* relative = corvel::program_relative_path("conf/../x.conf", false);
    const char* env = getenv("PROBE_VAR");
    printf("area=%ld rc=%d refused=%d env=%s name=%s dir=%s full=%s argv0=%s rel=%s\n", area, rc,
           refused, env ? env : "(null)", corvel::program_name(), corvel::program_dir(),
           corvel::program_full_path(), corvel::program_argv0(), relative ? relative : "(null)");
    fflush(stdout);
    free(relative);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    return 0;
}
