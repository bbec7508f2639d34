/* wdb: where the broker ("harl") that runs a check listens, looked up in the broker database.
 * wdb_init proves the database usable at start-up (or ends the process with status 1). Lookups run
 * on wdb's own job queue, each thread over one persistent connection, never on an event thread;
 * answers are kept for a while per check, and lookups of one check that overlap share one query. */
#ifndef VORN_WDB_H
#define VORN_WDB_H

#include "zint/zint_common.h"

/* Defaults of <vorn><wdb threads=".." max_pending=".." cache_ttl_s=".."> */
#define WDB_DEFAULT_THREADS 2
#define WDB_DEFAULT_MAX_PENDING 1000
#define WDB_DEFAULT_CACHE_TTL_S 30
/* How long "no such check" is kept (at most the cache's own time to live). */
#define WDB_NO_ROW_TTL_S 5

/* Reads "//vorn/wdb/{host,port,database,user,password,connect_timeout}" and the attributes threads,
 * max_pending and cache_ttl_s of "//vorn/wdb", builds the connection string, runs the start-up test,
 * registers "errors"/"wdb" and "wdb"/{lookups,cache_hits,pending} and creates the lookup queue.
 * Exits with status 1 when the configuration is unusable or the test fails. Start-up thread only; a
 * second call (tests) replaces the settings and drops the kept answers (lookups under way still
 * answer their callers; the queue keeps its first thread count). */
void wdb_init(void);

/* Called once with the answer of wdb_lookup_harl: the broker's address (borrowed for the call; null
 * when the check has no usable broker or the lookup failed, "" when the row holds an empty address)
 * and port. Runs on a wdb thread, never on an event thread nor inside the caller of
 * wdb_lookup_harl, and may block briefly (it is where the broker connection is started). */
typedef void (*wdb_lookup_cb)(const char *host, int port, void *closure);

/* Queues the lookup of the broker of check uuid (copied); cb(closure) gets the answer later. Never
 * blocks and never calls cb itself, so it may be called under any lock. False (cb never called)
 * when max_pending lookups are already waiting or wdb_init has not run. Any thread. */
zint_boolean wdb_lookup_harl(const char *uuid, wdb_lookup_cb cb, void *closure);

/* The broker address of the check uuid, asked on the calling thread's own persistent connection
 * (made on first use, made again after a failure): a malloc'ed copy of talbrek.harls.ipaddress
 * (possibly "") that the caller frees, with the broker's port (1..65535) stored through port. Null
 * on every failure, port untouched; failures are logged and counted in "errors"/"wdb", a check
 * without a row only logged. Blocks for at most about a connect and a query timeout: never call it
 * on an event thread or under a lock. The cache is not consulted. */
const char *wdb_find_harl_ip(const char *uuid, int *port);

/* The libpq connection string for these values, each quoted and escaped, as a malloc'ed text (null
 * on allocation failure). password may be null (then it is left out). Exposed for tests. */
char *wdb_make_conn_info(const char *host, int port, const char *dbname, const char *user,
                         const char *password, int connect_timeout_s);

#endif
