// Per-thread handles and the process name. A handle belongs to one open generation of
// the library: after a close, handles of the old generation count as unattached.
#pragma once

#include "plume/plume.h"

// Sets the process name; null keeps the current one ("Default" at start).
void plume_set_procname(const char* procname);

// The calling thread's handle, made on first use; null when memory is short. A handle
// of an earlier generation comes back unattached.
plume_handle_t* plume_get_thread_data();
// Attaches the handle to category, with the handle's event as the category's event.
void plume_attach_handle(plume_handle_t* handle, plumespace::Category* category);
// Ends the generation: every handle counts as unattached, and the calling thread's
// handle and event are freed.
void plume_end_generation();
