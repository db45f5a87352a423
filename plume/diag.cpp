#include "plume_diag.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

void plume_diag(const char* unit, int line, const char* fmt, ...) {
    // The caller's next line may name errno as the cause of its failure.
    int err = errno;
    char text[2048];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    // One call per line keeps concurrent diagnostics whole.
    fprintf(stderr, "[%ld][%ld][%s:%d]%s\n", static_cast<long>(getpid()),
            static_cast<long>(pthread_self()), unit, line, text);
    fflush(stderr);
    errno = err;
}
