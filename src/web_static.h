/* web_static: serves the dashboard's files (GET /ui/...) from one directory, the web root. Nothing
 * outside the root is ever opened: request paths are decoded, then refused when they hold dot
 * segments, encoded slashes or control bytes, and every file is opened beneath the root's own
 * descriptor so that no symbolic link can lead out of it. */
#ifndef VORN_WEB_STATIC_H
#define VORN_WEB_STATIC_H

#include "zint/zint_http.h"

#include <cstddef>
#include <string>

/* Largest file served unless <vorn><web max_file_bytes=".."/> says otherwise. */
#define WEB_STATIC_DEFAULT_MAX_FILE_BYTES (8u * 1024u * 1024u)

/* Outcome of turning a request path (the part after "/ui", percent-encoded, no query) into a path
 * relative to the root. */
typedef enum web_path_result {
  web_path_ok = 0,   /* *rel holds a relative path ("index.html" for the root itself) */
  web_path_redirect, /* the bare "/ui": send the client to "/ui/" */
  web_path_bad,      /* malformed or refused: bad escape, encoded '/' or '\', NUL or control
                        byte, "." or ".." segment, empty segment */
} web_path_result;

/* Tests set this to make every open take the walk that kernels without openat2 get. */
extern bool web_static_no_openat2;

/* Reads <vorn><web root=".." max_file_bytes=".."/>, opens the root and registers GET /ui and
 * GET /ui/... on the REST server. Without a configured root, the installed share directory is used
 * when it exists, else the source tree's web/ (development builds). A root that cannot be opened is
 * logged; the pages then answer 404 and the rest of the service runs on. Safe to call again (tests):
 * the new root replaces the old one. */
void web_static_init(void);

/* Uses dir as the web root with the given file size bound (tests and web_static_init). False when
 * dir cannot be opened as a directory; nothing is served then. */
bool web_static_set_root(const char *dir, size_t max_file_bytes);

/* The canonical root in use, "" when none. */
std::string web_static_root(void);

/* Decodes and checks a request path (see web_path_result). */
web_path_result web_static_resolve(const std::string &path, std::string *rel);

/* Content-Type of a file name by its extension; "application/octet-stream" for unknown ones. */
const char *web_static_content_type(const std::string &name);

/* The REST handler of GET /ui(/...)?: pats[0] is the part after "/ui". */
int web_static_handler(zint_http_rest_closure_t *restc, int npats, char **pats);

#endif
