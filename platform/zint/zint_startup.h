/* zint start-up services: the calls the child entry makes between loading the configuration and
 * starting its own modules, and the registry of loadable modules (the message-bus module). */
#ifndef ZINT_STARTUP_H
#define ZINT_STARTUP_H

#include "zint/zint_common.h"

/* Records the application name for the frame's messages (zint_appname). There is no interactive
 * console: operators use the HTTP endpoints and the logs. 0. */
int zint_console_init(const char *appname);
const char *zint_appname(void);

/* The service advertises no capabilities, events or heap profile over the network; these keep the
 * start-up sequence's shape and note on the debug stream that the feature is absent. 0 each. */
int zint_capabilities_listener_init(void);
int zint_events_rest_init(void);
int zint_heap_profiler_rest_init(void);

/* Loadable modules. A module registers by name with the configuration path that switches it on
 * ("//network/in/mq") and its init function; zint_dso_init then initialises, in registration order,
 * every module whose path selects something in the loaded configuration (a null or empty path:
 * always). A null init is looked up at run time as the exported symbol "<name>_dso_init" (the
 * service binary exports its symbols); likewise post_init as "<name>_dso_post_init", optional.
 * An init returning non-zero is logged on the error stream and the module counts as not loaded; a
 * module whose failure must stop the process ends it itself. */
typedef int (*zint_dso_init_fn)(void);
/* 0, or -1 when name is null/empty or already registered. */
int zint_dso_register(const char *name, const char *config_path, zint_dso_init_fn init,
                      zint_dso_init_fn post_init = nullptr);
/* Initialises the enabled modules not yet initialised. 0 when all succeeded, -1 otherwise. */
int zint_dso_init(void);
/* Calls post_init of every loaded module once, after all inits. 0, or -1 if one failed. */
int zint_dso_post_init(void);
/* True when the named module's init succeeded. */
zint_boolean zint_dso_loaded(const char *name);
/* Forgets every registration (tests). */
void zint_dso_reset(void);

#endif
