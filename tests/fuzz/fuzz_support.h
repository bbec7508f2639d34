/* Shared pieces of the fuzzers: failures libFuzzer records as crashes, the service's set-up, detached
 * websocket sessions and checks of the frames clients get (Boost.JSON: no shared fault with the writer). */
#ifndef VORN_FUZZ_SUPPORT_H
#define VORN_FUZZ_SUPPORT_H
#include "client.h"
#include "stream_hash.h"
#include "vorn_stats.h"
#include "zint/zint_log.h"
#include "zint/zint_memory.h"
#include <boost/json.hpp>
#include <algorithm>
#include <cstring>
#include <memory>

namespace fuzz {
/* A broken property aborts: libFuzzer saves the input as a crash. */
inline void require(bool ok, const char *what, std::string_view detail) {
  if (ok) return;
  fprintf(stderr, "fuzz property failed: %s: %.*s\n", what, (int) detail.size(), detail.data());
  abort();
}
#define FUZZ_REQUIRE(cond, detail) ::fuzz::require((cond), #cond, (detail))
/* Log entries are formatted (bad arguments show under the sanitizers), then dropped unless VORN_FUZZ_LOG. */
inline int quiet_logs() {
  if (getenv("VORN_FUZZ_LOG")) return 0;
  zint_log_stream_set_output(zint_error, "/dev/null", 0);
  zint_log_stream_set_output(zint_notice, "/dev/null", 0);
  return 0;
}
/* Quiet logs, safe memory, statistics, the stream registry and client records. */
inline void init_service() {
  quiet_logs();
  zint_memory_init();
  stats_init();
  stream_hash_init();
  client_init();
}
/* The input after byte 0, split at '\n' into the messages of one run (empty pieces included). */
inline std::vector<std::string_view> split_lines(const uint8_t *data, size_t size) {
  std::vector<std::string_view> out;
  std::string_view all(reinterpret_cast<const char *>(data + 1), size - 1);
  size_t start = 0;
  for (size_t nl; (nl = all.find('\n', start)) != std::string_view::npos; start = nl + 1)
    out.push_back(all.substr(start, nl - start));
  out.push_back(all.substr(start));
  return out;
}
/* An exactly sized copy of a message, so that reads past its end show under ASan. */
inline std::vector<unsigned char> bytes(std::string_view s) { return {s.begin(), s.end()}; }
/* A websocket session without a connection: keeps every text frame queued to it, parsed. Bit i%32 of
 * refuse refuses the i-th frame offered, as a full outbound queue would. */
struct session {
  zint_http_session_ctx *ctx;
  uint32_t refuse;
  std::vector<boost::json::value> frames;
  std::vector<std::string> texts;
  size_t offered = 0;
  std::string last_offered; /* taken or refused */
  bool ended = false;
  explicit session(uint32_t refuse_mask = 0)
      : ctx(zint_http_detached_session_new(sink, this)), refuse(refuse_mask) {
    FUZZ_REQUIRE(ctx != nullptr, "zint_http_detached_session_new");
  }
  ~session() { end(); }
  session(const session &) = delete;
  void end() {
    if (!ended) zint_http_detached_session_end(ctx);
    ended = true;
  }
  static zint_boolean sink(void *arg, int opcode, const unsigned char *buf, size_t len) {
    auto *s = static_cast<session *>(arg);
    std::string_view text(reinterpret_cast<const char *>(buf), len);
    boost::json::error_code ec;
    boost::json::value v = boost::json::parse(text, ec);
    FUZZ_REQUIRE(opcode == 1 && !ec && v.is_object(), text);
    s->last_offered.assign(text);
    if ((s->refuse >> (s->offered++ % 32)) & 1u) return false;
    s->frames.push_back(std::move(v));
    s->texts.emplace_back(text);
    return true;
  }
};
/* Member names of o in order, joined with ','. */
inline std::string keys_of(const boost::json::object &o) {
  std::string out;
  for (const auto &kv : o) out += (out.empty() ? "" : ",") + std::string(kv.key());
  return out;
}
/* An error frame: "error", optional "id", optional "period", "type" (the request kind), in order. */
inline bool is_error_frame(const boost::json::object &o) {
  const boost::json::value *id = o.if_contains("id"), *period = o.if_contains("period");
  const std::string layout = std::string("error,") + (id ? "id," : "") + (period ? "period," : "") + "type";
  return keys_of(o) == layout && o.at("error").is_string() &&
         (o.at("type") == "neither" || o.at("type") == "watch" || o.at("type") == "unwatch") &&
         (!id || id->is_string()) && (!period || period->is_int64());
}
/* A client data message: {"check":{"id","metric_name","time","type", then "value" for "M" or a
 * "histogram" object for "H1"}}. */
inline bool is_data_frame(const boost::json::object &o) {
  if (keys_of(o) != "check" || !o.at("check").is_object()) return false;
  const boost::json::object &c = o.at("check").get_object();
  std::string keys = keys_of(c);
  bool m = keys == "id,metric_name,time,type,value" && c.at("type") == "M";
  bool h =
      keys == "id,metric_name,time,type,histogram" && c.at("type") == "H1" && c.at("histogram").is_object();
  return (m || h) && c.at("id").is_string() && c.at("metric_name").is_string() && c.at("time").is_number();
}
/* The end of a run: the registry is empty at once (only the entries' memory waits). Deferred releases
 * run on the reclamation thread; every 256th run waits for all of them and returns true. */
inline bool end_run() {
  FUZZ_REQUIRE(stream_hash_size() == 0, std::to_string(stream_hash_size()));
  static unsigned runs = 0;
  if (++runs % 256 != 0) return false;
  zint_memory_barrier();
  return true;
}
} // namespace fuzz
#endif
