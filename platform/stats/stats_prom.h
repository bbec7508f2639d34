/* stats_prom: the statistics tree in the Prometheus text exposition format (version 0.0.4). Each
 * value's path becomes a metric name under a common prefix; label rules turn chosen path elements
 * (module names and the like) into label values; the string values of a namespace become the
 * labels of one "_info" gauge. */
#ifndef STATS_STATS_PROM_H
#define STATS_STATS_PROM_H

#include "stats/stats.h"

#include <cstddef>

/* Media type of the output, for the Content-Type header. */
#define STATS_PROM_CONTENT_TYPE "text/plain; version=0.0.4; charset=utf-8"

/* The path element right after `prefix` (namespace names joined by '/', e.g. "websocket/watches")
 * becomes the value of the label `label` and is left out of the metric name: with prefix
 * "errors" and label "module", "errors"/"api" is <p>_errors_total{module="api"}. An element equal
 * to `aggregate` (null: none) is not a label value: it is renamed to `aggregate_as` and kept in
 * the name, so a total beside its parts ("errors"/"total") does not double a sum over the label.
 * Only values strictly below the prefix match; the first matching rule wins. */
typedef struct stats_prom_label_rule {
  const char *prefix;
  const char *label;        /* a valid label name: [a-zA-Z_][a-zA-Z0-9_]*, not starting "__" */
  const char *aggregate;
  const char *aggregate_as;
} stats_prom_label_rule_t;

typedef struct stats_prom_options {
  const char *prefix; /* first part of every metric name, e.g. "vorn"; must be a valid name */
  const stats_prom_label_rule_t *rules;
  size_t n_rules;
} stats_prom_options_t;

/* Writes every value of the tree through outf (same contract as stats_recorder_output_json):
 * - names: prefix, then the path elements (after the label rules), joined by '_', each character
 *   outside [a-zA-Z0-9_] replaced by '_';
 * - COUNTER: counter named <name>_total (no second suffix when the name already ends in _total);
 *   UINT64 and INT64: gauge <name>;
 * - STRING values: one gauge <namespace name>_info with value 1 per namespace holding strings,
 *   each string a label named after the value (sanitised like a name; a leading digit or "__"
 *   gets a "_"/"x" in front), its text the label value ("" when unset);
 * - label values are escaped (\\, \", \n) and invalid UTF-8 becomes U+FFFD;
 * - every family is written as one group: # HELP (the tree path), # TYPE, then its samples;
 * - a value whose name and labels are already taken, or whose name is taken by a family of
 *   another type, is left out and named in a comment line at the end ("# skipped ...").
 * Returns the number of bytes written, or -1 (bad arguments, or outf failed). */
ssize_t stats_recorder_output_prometheus(stats_recorder_t *rec, const stats_prom_options_t *opts,
                                         stats_output_func_t outf, void *closure);

#endif
