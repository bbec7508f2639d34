/* wdb: where the broker ("harl") that runs a check listens, looked up in the broker database.
 * wdb_init proves the database usable at start-up (or ends the process with status 1);
 * wdb_find_harl_ip answers one lookup per call over a connection of its own. */
#ifndef VORN_WDB_H
#define VORN_WDB_H

/* Reads "//vorn/wdb/{host,port,database,user,password,connect_timeout}", builds the connection
 * string, runs the start-up test and registers "errors"/"wdb". Exits with status 1 when the
 * configuration is unusable or the test fails. Start-up thread only; a second call (tests) replaces
 * the connection string and must not overlap lookups. */
void wdb_init(void);

/* The broker address of the check uuid: a malloc'ed copy of talbrek.harls.ipaddress (possibly "")
 * that the caller frees, with the broker's port (1..65535) stored through port. Null on every
 * failure, port untouched. Blocks for at most about two connect timeouts; safe on any thread. */
const char *wdb_find_harl_ip(const char *uuid, int *port);

/* The libpq connection string for these values, each quoted and escaped, as a malloc'ed text (null
 * on allocation failure). password may be null (then it is left out). Exposed for tests. */
char *wdb_make_conn_info(const char *host, int port, const char *dbname, const char *user,
                         const char *password, int connect_timeout_s);

#endif
