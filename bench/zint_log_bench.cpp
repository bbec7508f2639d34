/* Cost of a log call: on a disabled stream (the common case of debug streams), written
 * synchronously to a file, and handed to the writer thread. */
#include "zint/zint_log.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string bench_file(const char *name) {
  static std::string dir = [] {
    char tmpl[] = "/tmp/zint_log_benchXXXXXX";
    return std::string(mkdtemp(tmpl) ? tmpl : "/tmp");
  }();
  return dir + "/" + name;
}

void BM_LogDisabledStream(benchmark::State &state) {
  zint_log_stream_t ls = zint_log_stream_find("bench/disabled");
  int i = 0;
  for (auto _ : state) zint_log(ls, "value %d %s\n", i++, "text");
}
BENCHMARK(BM_LogDisabledStream);

void BM_LogSynchronousFile(benchmark::State &state) {
  zint_log_stream_t ls = zint_log_stream_find("bench/sync");
  zint_log_stream_set_output(ls, bench_file("sync.log").c_str(), 0);
  zint_log_stream_set_enabled(ls, true);
  zint_log_go_synch();
  int i = 0;
  for (auto _ : state) zint_log(ls, "value %d %s\n", i++, "a typical line of about sixty bytes");
  unlink(bench_file("sync.log").c_str());
}
BENCHMARK(BM_LogSynchronousFile);

/* Time spent by the caller only; the writer thread drains after the timed loop. */
void BM_LogAsynchronousFile(benchmark::State &state) {
  zint_log_stream_t ls = zint_log_stream_find("bench/async");
  if (state.thread_index() == 0) {
    zint_log_stream_set_output(ls, bench_file("async.log").c_str(), 0);
    zint_log_stream_set_enabled(ls, true);
    zint_log_go_asynch();
  }
  int i = 0;
  for (auto _ : state) zint_log(ls, "value %d %s\n", i++, "a typical line of about sixty bytes");
  if (state.thread_index() == 0) {
    zint_log_go_synch();
    unlink(bench_file("async.log").c_str());
  }
}
BENCHMARK(BM_LogAsynchronousFile)->Threads(1)->Threads(2);

}  // namespace

BENCHMARK_MAIN();
