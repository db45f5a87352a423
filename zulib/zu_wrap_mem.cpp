// Checked memory calls.
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include "zu_syserr.h"
#include "zulib/zu_syscall.h"

void* zu_calloc(size_t count, size_t size) {
    if (count == 0 || size == 0)
        zu_writelog(ZU_LOG_WARNING, "calloc(%zu,%zu) call failed.Parameter was error.", count, size);
    void* p = calloc(count, size);
    if (!p) ZU_SYSWARN("calloc(%zu,%zu) call failed.error[%d] info is '%s'.", count, size);
    return p;
}

void* zu_malloc(size_t size) {
    void* p = malloc(size);
    if (p) {
        memset(p, 0, size);
    } else {
        ZU_SYSWARN("malloc(%zu) call failed.error[%d] info is '%s'.", size);
    }
    return p;
}

void* zu_realloc(void* ptr, size_t size) {
    void* p = realloc(ptr, size);
    if (!p) ZU_SYSWARN("realloc(%zu) failed.error[%d] info is '%s'.", size);
    return p;
}

void zu_free(void* ptr) {
    if (ptr) free(ptr);
}

void* zu_mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    void* p = mmap(addr, length, prot, flags, fd, offset);
    if (p == MAP_FAILED)
        ZU_SYSWARN("mmap(%p,%zu,%d,%d,%d,%ld) call failed.error[%d] info is '%s'.", addr, length, prot, flags, fd,
                   static_cast<long>(offset));
    return p;
}

int zu_munmap(void* addr, size_t length) {
    int ret = munmap(addr, length);
    if (ret == -1) ZU_SYSWARN("munmap(%p,%zu) call filed.error[%d] info is '%s'.", addr, length);
    return ret;
}
