/* Fuzzes the configuration loader: a document from text, read as the service and the framework read it;
 * an accepted int32 or u64 is exactly the decimal in the text (spellings: unit/zint/zint_conf_test). */
#include "fuzz_support.h"
#include "zint/zint_conf.h"
#include "zint/zint_http.h"
#include "zint/zint_websocket_client.h"
#include <sstream>

namespace {
const char kPaths[] =
    "//vorn/wdb/host //vorn/wdb/port //vorn/wdb/database //vorn/wdb/user //vorn/wdb/password "
    "//vorn/wdb/connect_timeout //harls/sslconfig //network/in/mq/host //network/in/mq/subject "
    "//network/in/mq/pending_msgs_limit //pools/@handle_pask_messages_in_jobq //pools/@pask_backlog_bytes "
    "//listeners/@require_tls //vorn/web/@root //vorn/web/@max_file_bytes //http/@max_message_bytes "
    "/vorn-c //* //@* //text()";
bool all_digits(const std::string &s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}
void check_path(const char *path) {
  char *text = nullptr;
  bool has_text = zint_conf_get_string(ZINT_CONF_ROOT, path, &text);
  std::string s = has_text ? text : "";
  free(text);
  std::istringstream words(s);
  std::string t, more;
  words >> t >> more; /* the text without surrounding white space: one word */
  const std::string digits = t.substr(t[0] == '-' || t[0] == '+');
  int32_t i = 12345;
  if (zint_conf_get_int32(ZINT_CONF_ROOT, path, &i))
    FUZZ_REQUIRE(more.empty() && all_digits(digits) && strtoll(t.c_str(), nullptr, 10) == i, s);
  zint_boolean yes = false;
  (void) zint_conf_get_boolean(ZINT_CONF_ROOT, path, &yes);
  uint64_t v = 7;
  if (zint_conf_parse_u64(s, UINT32_MAX, &v))
    FUZZ_REQUIRE(all_digits(s) && strtoull(s.c_str(), nullptr, 10) == v && v <= UINT32_MAX, s);
  delete zint_conf_get_hash(ZINT_CONF_ROOT, path);
  zint_conf_section_t sec = zint_conf_get_section(ZINT_CONF_ROOT, path);
  char *x = nullptr;
  for (const char *sub : {"host", "@*"})
    if (sec && zint_conf_get_string(sec, sub, &x)) free(x);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::quiet_logs(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string xml(reinterpret_cast<const char *>(data), size); /* load_string reads to the NUL */
  if (zint_conf_load_string(xml.c_str()) != 0) return 0;
  std::istringstream paths(kPaths);
  for (std::string p; paths >> p;) check_path(p.c_str());
  for (const char *p :
       {"//listeners/listener", "//logs/log", "//eventer/pool", "//http", "//websocket_client"})
    for (const zint_conf_attrs_t &a : zint_conf_get_elements(p)) FUZZ_REQUIRE(a.count("") == 1, p);
  (void) zint_conf_root_attribute("lockfile");
  zint_http_rest_init(); /* the framework's own readers of the document */
  zint_websocket_client_conf_init();
  return 0;
}
