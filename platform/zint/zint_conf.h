/* zint configuration: the XML file loaded once at start-up and read by XPath
 * ("//vorn/wdb/host", "//pools/@handle_pask_messages_in_jobq"). Nothing is re-read at run time. */
#ifndef ZINT_CONF_H
#define ZINT_CONF_H

#include "zint/zint_common.h"

#include <map>
#include <string>
#include <vector>

/* The section handle that the getters take; ZINT_CONF_ROOT is the whole document. */
typedef const void *zint_conf_section_t;
#define ZINT_CONF_ROOT ((zint_conf_section_t) nullptr)

/* Sets the file that zint_conf_load(null) loads (the frame does this from its argument). */
void zint_conf_set_file(const char *path);
const char *zint_conf_file(void);
/* Loads path (null: the file given to the frame). 0 on success, -1 when the file cannot be read or
 * is not well-formed XML. A later load replaces the document. */
int zint_conf_load(const char *path);
/* zint_conf_load that, when quiet, leaves reporting the failure to the caller. */
int zint_conf_load_quiet(const char *path, zint_boolean quiet);
/* Loads a document from text (tests). */
int zint_conf_load_string(const char *xml);

/* Each getter answers the XPath query against the loaded document (an element's text or an
 * attribute's value). True when the path was found and its text converts; the output is left
 * untouched otherwise. _string hands out a heap copy that the caller frees with free(). */
zint_boolean zint_conf_get_string(zint_conf_section_t section, const char *path, char **out);
zint_boolean zint_conf_get_int32(zint_conf_section_t section, const char *path, int32_t *out);
zint_boolean zint_conf_get_boolean(zint_conf_section_t section, const char *path, zint_boolean *out);
/* The child elements of the node at path as name -> text (e.g. <sslconfig><ca_chain>..), or null
 * when the node is absent; the caller deletes it. */
typedef std::map<std::string, std::string> zint_conf_hash_t;
zint_conf_hash_t *zint_conf_get_hash(zint_conf_section_t section, const char *path);

/* Every element matching path, as attribute maps (name -> value), plus "" -> the element's text.
 * For repeated elements such as //listeners/listener and //logs/log. */
typedef std::map<std::string, std::string> zint_conf_attrs_t;
std::vector<zint_conf_attrs_t> zint_conf_get_elements(const char *path);

/* The element that path selects (first in document order) as a section handle for relative paths
 * ("host" under "//network/in/mq"), or null when absent; valid until the next load. */
zint_conf_section_t zint_conf_get_section(zint_conf_section_t section, const char *path);
/* An attribute of the root element ("lockfile"), or "" when absent or nothing is loaded. */
std::string zint_conf_root_attribute(const char *name);

/* Applies the <logs> section: each <log name=".." output="stderr|stdout|path" disabled="bool"
 * timestamps="bool"/> sets that stream's output and whether it writes. Files are reopened by
 * zint_log_reopen_all (SIGHUP). The application name prefixes complaints about bad entries;
 * verbose reports each configured stream on the notice stream. */
void zint_conf_log_init_rotate(const char *appname, zint_boolean verbose);

/* Strict unsigned decimal of a configuration text (no sign, no trailing characters, at most max).
 * True with the value stored; false leaves out untouched. */
zint_boolean zint_conf_parse_u64(const std::string &text, uint64_t max, uint64_t *out);

#endif
