/* vorn_stats: the process's one statistics recorder, its start time and the one way of
 * counting an error (on the module's counter under "errors" and on "errors"/"total"). */
#ifndef VORN_STATS_H
#define VORN_STATS_H

#include <cstdint>

#include "stats/stats.h"

/* Written once by stats_init (start-up, before any event loop runs), only read afterwards. */
extern stats_recorder_t *stats_rec;       /* null until stats_init */
extern uint64_t vorn_start_ns;            /* zint_get_nanos() when the recorder was made */
extern stats_handle_t *total_err_counter; /* "errors"/"total" */

/* Creates the recorder, takes the start time and registers "errors"/"total". A second call
 * changes nothing. Must run before every other module initialiser. */
void stats_init(void);

/* Adds 1 to the module's err_counter, then 1 to "errors"/"total" (two separate adds: a reader
 * may see the first without the second). Logs nothing. */
void report_error(stats_handle_t *err_counter);

#endif
