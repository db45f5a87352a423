// Test-only settings of the shared-memory table: keys of a test's own segment and
// semaphore in place of the machine-wide ones, and the bound of the semaphore wait.
#pragma once

#include <sys/types.h>

void zu_log_setshmkeys(key_t shm_key, key_t sem_key);
void zu_log_setshmwait(int ms);
