/* zint message-bus hook: run-time lookup of the message-bus module's registration function. The
 * lookup is by symbol name so that the framework library links without the module. */
#include "zint/zint_pask_hook.h"

#include "zint/zint_startup.h"

#include <dlfcn.h>

#include <atomic>

namespace {
/* Resolved once, then read by every later registration; a race resolves to the same address. */
std::atomic<zint_pask_dyn_hook_register_fn> zint_pask_dyn_register{nullptr};
} // namespace

int zint_pask_handle_message_hook_register(const char *name, zint_pask_handle_message_hook_t func,
                                           void *closure) {
  zint_pask_dyn_hook_register_fn fn = zint_pask_dyn_register.load(std::memory_order_acquire);
  if (!fn) {
    /* Linked in but not started: hooks would never see a message, which is a configuration error
     * worth stopping for rather than a silent service without data. */
    if (!zint_dso_loaded(ZINT_PASK_DSO_NAME))
      zint_fatal("[FATAL] message-bus module not loaded (is //network/in/mq configured?): cannot register "
                 "message hook %s\n",
                 name ? name : "(unnamed)");
    dlerror();
    fn = (zint_pask_dyn_hook_register_fn) dlsym(RTLD_DEFAULT, ZINT_PASK_DYN_HOOK_REGISTER_NAME);
    if (!fn) {
      const char *why = dlerror();
      zint_fatal("[FATAL] message-bus module not available: cannot register message hook %s (%s: %s)\n",
                 name ? name : "(unnamed)", ZINT_PASK_DYN_HOOK_REGISTER_NAME, why ? why : "not found");
    }
    zint_pask_dyn_register.store(fn, std::memory_order_release);
  }
  return fn(name, func, closure);
}
