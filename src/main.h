/* vorn-c process entry: the globals that the start-up sequence sets for every module. */
#ifndef VORN_MAIN_H
#define VORN_MAIN_H

#include "zint/zint_common.h"

/* The service's own debug stream, "debug/vorn" (on with -d or by configuration). Set by the child
 * entry before any module initialiser runs; null before that, which zint_log treats as disabled. */
extern zint_log_stream_t vorn_debug;

#endif
