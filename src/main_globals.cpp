/* vorn-c process-wide globals that modules read. Kept out of main.cpp so that the modules' tests,
 * which link the service library without the entry point, find them too. */
#include "main.h"

zint_log_stream_t vorn_debug = nullptr;
