/* zint log streams, the calls beyond zint_common.h: configuring a stream's output, the debug switch,
 * flushing the asynchronous writer and reopening files after rotation. */
#ifndef ZINT_LOG_H
#define ZINT_LOG_H

#include "zint/zint_common.h"

/* Reopens every file output by path (SIGHUP does this so rotated files are let go). A file that
 * cannot be reopened keeps its old descriptor and the failure is logged on the error stream.
 * Returns the number of files that could not be reopened. */
int zint_log_reopen_all(void);

/* Turns the "debug" stream and every "debug/<x>" stream (including ones found later) on or off.
 * The frame calls it for -d. While on, configuration cannot disable debug streams. */
void zint_log_enable_debug(zint_boolean on);

/* Enables or disables one stream. */
void zint_log_stream_set_enabled(zint_log_stream_t ls, zint_boolean on);

/* Sends the stream's entries to output: "stderr", "stdout" or a file path (opened for appending,
 * created 0640 if absent); null drops the stream's own output, so it follows its parent
 * ("debug/vorn" follows "debug"). timestamps: -1 keeps the default (on for files, off for the
 * standard streams), 0 off, 1 on. 0 on success; -1 when the file cannot be opened (logged on the
 * error stream, the stream keeps its old output). */
int zint_log_stream_set_output(zint_log_stream_t ls, const char *output, int timestamps);

/* The stream's name, and its output's name ("stderr", a path) or null when it has none. */
const char *zint_log_stream_name(zint_log_stream_t ls);
const char *zint_log_stream_output(zint_log_stream_t ls);

/* Waits until everything queued for the writer thread is written. No-op when synchronous. */
void zint_log_flush(void);

/* True while entries go through the writer thread. */
zint_boolean zint_log_is_asynch(void);

#endif
