#include "corvel/thread_hooks.h"

#include <atomic>

namespace corvel {
namespace {

std::atomic<const ThreadHooks*> g_hooks{nullptr};

}  // namespace

void set_thread_hooks(const ThreadHooks* hooks) { g_hooks.store(hooks, std::memory_order_release); }

ThreadHookScope::ThreadHookScope() : hooks_(g_hooks.load(std::memory_order_acquire)) {
    if (hooks_) hooks_->on_start();
}

ThreadHookScope::~ThreadHookScope() {
    if (hooks_) hooks_->on_end();
}

}  // namespace corvel
