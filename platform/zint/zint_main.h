/* zint process frame: lock file, daemonising, privilege drop and signal handling around the
 * application's child entry. The service's main hands control here once its command line is read. */
#ifndef ZINT_MAIN_H
#define ZINT_MAIN_H

#include "zint/zint_common.h"

/* What to do with the lock file named by the root element's "lockfile" attribute. */
typedef enum {
  ZINT_LOCK_OP_NONE = 0, /* take no lock */
  ZINT_LOCK_OP_LOCK = 1, /* take it or end start-up with status 1 if another process holds it */
  ZINT_LOCK_OP_WAIT = 2, /* wait until the holder lets go */
} zint_lock_op_t;

/* Runs the frame, in this order:
 *  - sets the configuration file and, when debug is non-zero, turns on the debug streams;
 *  - loads the configuration; if it cannot be loaded nothing else below that needs it happens (no
 *    lock, no daemonising) and child_main is called, so that it reports the failure itself;
 *  - takes the lock file (lock_op), then applies the <logs> section;
 *  - daemonises when foreground is 0 (double fork, new session, cwd "/", standard streams on
 *    /dev/null; the invoking process exits 0);
 *  - drops to droptogroup, then droptouser (names or numeric ids; supplementary groups cleared when
 *    root; with only a user, that user's primary group); failure ends the process with status 1;
 *  - installs the signal handling: SIGHUP reopens the log files, SIGTERM and SIGINT flush the
 *    logs and end the process with status 0, SIGPIPE is ignored;
 *  - writes the process id into the lock file (so a pid there means set-up is done);
 *  - returns child_main's result.
 * glider is accepted for compatibility and unused. */
int zint_main(const char *appname, const char *config_filename, int debug, int foreground,
              zint_lock_op_t lock_op, const char *glider, const char *droptouser,
              const char *droptogroup, int (*child_main)(void));

/* The pieces of the frame, usable on their own (tests, tools). */

/* Opens (creating 0644) and locks path with op. Returns the descriptor, kept open for the process's
 * life so the lock lasts; -1 when it cannot be opened or (LOCK) is held elsewhere, with the reason
 * on the error stream. op NONE or a null path: -2 (nothing to do). */
int zint_lockfile_acquire(const char *path, zint_lock_op_t op);

/* Changes group then user as described for zint_main. 0 on success, -1 with the reason on the
 * error stream (unknown name, refused by the kernel, root could be regained). Nulls: no change. */
int zint_drop_privileges(const char *user, const char *group);

#endif
