/* Fuzzes the configuration loader: an XML document loaded from text, then read the way the service and
 * the framework read it (every path they use, sections, repeated elements, the HTTP server's and the
 * websocket client's limits). Properties: the typed getters agree with the text getter (an accepted
 * number is exactly the decimal in the text, an accepted boolean one of the documented words), and the
 * strict unsigned parser accepts digits only. */
#include "fuzz_support.h"
#include "zint/zint_conf.h"
#include "zint/zint_http.h"
#include "zint/zint_websocket_client.h"
#include <cerrno>
#include <cstring>
#include <strings.h>

namespace {
const char *const kPaths[] = {
    "//vorn/wdb/host", "//vorn/wdb/port", "//vorn/wdb/database", "//vorn/wdb/user", "//vorn/wdb/password",
    "//vorn/wdb/connect_timeout", "//harls/sslconfig", "//network/in/mq/host", "//network/in/mq/subject",
    "//network/in/mq/pending_msgs_limit", "//pools/@handle_pask_messages_in_jobq",
    "//pools/@pask_backlog_bytes", "//listeners/@require_tls", "//vorn/web/@root",
    "//vorn/web/@max_file_bytes", "//http/@max_message_bytes", "/vorn-c", "//*", "//@*", "//text()"};

bool all_digits(const std::string &s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

void check_path(const char *path) {
  char *text = nullptr;
  bool has_text = zint_conf_get_string(ZINT_CONF_ROOT, path, &text);
  FUZZ_REQUIRE(!has_text || text, path);
  std::string s = has_text ? text : "";
  free(text);
  size_t b = s.find_first_not_of(" \t\r\n");
  const std::string t = b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
  int32_t i = 12345;
  if (zint_conf_get_int32(ZINT_CONF_ROOT, path, &i)) {
    bool sign = t[0] == '-' || t[0] == '+';
    FUZZ_REQUIRE(has_text && all_digits(t.substr(sign)) && strtoll(t.c_str(), nullptr, 10) == i, s);
  }
  zint_boolean yes = false;
  if (zint_conf_get_boolean(ZINT_CONF_ROOT, path, &yes)) {
    const char *words[] = {"false", "no", "off", "0", "true", "yes", "on", "1"};
    bool ok = false;
    for (int w = yes ? 4 : 0; w < (yes ? 8 : 4); w++) ok = ok || strcasecmp(t.c_str(), words[w]) == 0;
    FUZZ_REQUIRE(has_text && ok, s);
  }
  for (uint64_t max : {(uint64_t) 65535, (uint64_t) UINT32_MAX, UINT64_MAX}) {
    if (!has_text) break;
    uint64_t v = 7;
    bool ok = zint_conf_parse_u64(s, max, &v);
    errno = 0;
    bool same = all_digits(s) && strtoull(s.c_str(), nullptr, 10) == v && errno == 0 && v <= max;
    FUZZ_REQUIRE(ok ? same : v == 7, s);
  }
  delete zint_conf_get_hash(ZINT_CONF_ROOT, path);
  zint_conf_section_t sec = zint_conf_get_section(ZINT_CONF_ROOT, path);
  for (const char *sub : {"host", "@*"}) {
    char *x = nullptr;
    if (sec && zint_conf_get_string(sec, sub, &x)) free(x);
  }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_logs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string xml(reinterpret_cast<const char *>(data), size); /* load_string reads to the NUL */
  if (zint_conf_load_string(xml.c_str()) != 0) return 0;
  for (const char *p : kPaths) check_path(p);
  const char *repeated[] = {"//listeners/listener", "//logs/log", "//eventer/pool", "//http",
                            "//websocket_client"};
  for (const char *p : repeated)
    for (const zint_conf_attrs_t &a : zint_conf_get_elements(p)) FUZZ_REQUIRE(a.count("") == 1, p);
  (void) zint_conf_root_attribute("lockfile");
  zint_http_rest_init(); /* the framework's own readers of the document */
  zint_websocket_client_conf_init();
  return 0;
}
