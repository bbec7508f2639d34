/* vorn_stats: the process's one recorder, its start time and error counting. Every
 * module registers into stats_rec at start-up; report_error is the only way errors are counted. */
#include "vorn_stats.h"

#include "zint/zint_time.h"

stats_recorder_t *stats_rec = nullptr;
uint64_t vorn_start_ns = 0;
stats_handle_t *total_err_counter = nullptr;

void stats_init(void) {
  if (stats_rec != nullptr)
    return;
  stats_rec = stats_recorder_alloc();
  vorn_start_ns = zint_get_nanos();
  total_err_counter =
      stats_register(stats_register_ns(stats_rec, nullptr, "errors"), "total", STATS_TYPE_COUNTER);
}

void report_error(stats_handle_t *err_counter) {
  stats_add64(err_counter, 1);
  stats_add64(total_err_counter, 1);
}
