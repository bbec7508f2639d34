/* zint start-up services: the application name that the frame's log lines carry, and the registry
 * of loadable modules (the message-bus module). */
#ifndef ZINT_STARTUP_H
#define ZINT_STARTUP_H

#include "zint/zint_common.h"

/* Sets the application name that prefixes the frame's own log lines (signals, bad <logs> entries,
 * privilege drop); zint_main sets it from its argument. Null or empty: no change. The string is
 * copied and never freed, as a reader on another thread may still hold the previous one. */
void zint_set_appname(const char *appname);
/* The application name ("zint" until set). Any thread. */
const char *zint_appname(void);

/* Loadable modules. A module registers by name with the configuration path that switches it on
 * ("//network/in/mq") and its init function; zint_dso_init then initialises, in registration order,
 * every module whose path selects something in the loaded configuration (a null or empty path:
 * always). A null init is looked up at run time as the exported symbol "<name>_dso_init" (only
 * programs linked to export their symbols have it); likewise post_init as "<name>_dso_post_init",
 * optional.
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
