/* Fuzzes a broker stream: frames a broker sends (one per line) to the connection's message handler, watched
 * by an all-metrics and a "cpu" session (byte 0's nibbles: refused frames). Data messages, then at most the
 * ended connection's error frame; true exactly while the stream exists; "cpu" gets the other's "cpu"
 * frames (without refusals); the registry empties. */
#include "broker.h"
#include "fuzz_support.h"
#include <new>

namespace {
const char *const kUuid = "0b1c4c2e-2d0a-4f8e-9a57-2b8f6d1c9e01";
/* As harl_subscribe_callback once a connection is started: the key is bound to this stream instance. */
zint_boolean attach(stream_closure_t *sc, void *nk) {
  if (stream_closure_get_closure(sc)) return true;
  stream_closure_get_id(sc, static_cast<harl_key_t *>(nk)->sc_id);
  stream_closure_set_closure(sc, nk);
  return true;
}
/* A session's data frames; only the error frame may follow them. */
std::vector<std::string> data_of(const fuzz::session &s) {
  const std::string ended = std::string("{\"error\":\"connection to broker was terminated\",\"id\":\"") +
                            kUuid + "\",\"period\":60000,\"type\":\"watch\"}";
  std::vector<std::string> data;
  for (size_t i = 0; i < s.frames.size(); i++) {
    bool last = i + 1 == s.frames.size();
    FUZZ_REQUIRE(fuzz::is_data_frame(s.frames[i].get_object()) || (last && s.texts[i] == ended), s.texts[i]);
    if (s.texts[i] != ended) data.push_back(s.texts[i]);
  }
  return data;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::init_service();
  harl_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  uint32_t refuse_all = (data[0] & 0x0f) * 0x11111111u;
  uint32_t refuse_cpu = (data[0] >> 4) * 0x11111111u;
  {
    fuzz::session all(refuse_all), cpu(refuse_cpu);
    harl_key_t *nk = new (calloc(1, sizeof(harl_key_t))) harl_key_t();
    nk->uuid = strdup(kUuid);
    nk->period = 60000;
    nk->key = concat_uuid_period(kUuid, nk->period, &nk->klen);
    nk->dirty.store(false);
    const char *names[] = {"cpu"};
    for (auto [s, n] : {std::pair{&all, 0}, std::pair{&cpu, 1}}) {
      vorn_client_t *c = vorn_client_new(s->ctx, n ? names : nullptr, n, nullptr);
      FUZZ_REQUIRE(stream_hash_add_client(strdup(nk->key), nk->klen, c, attach, nk), "join");
    }
    FUZZ_REQUIRE(stream_hash_size() == 1, "stream");
    for (std::string_view line : fuzz::split_lines(data, size)) {
      std::vector<unsigned char> msg = fuzz::bytes(line);
      zint_boolean open = harl_websocket_client_msg_handler(nullptr, 1, msg.data(), msg.size(), nk);
      FUZZ_REQUIRE(open == (stream_hash_size() == 1), line);
      if (!open) break; /* the websocket client closes the connection */
    }
    harl_websocket_client_cleanup_handler(nullptr, nk); /* the connection ends */
    std::vector<std::string> got_all = data_of(all), got_cpu = data_of(cpu), want;
    for (const std::string &t : got_all)
      if (boost::json::parse(t).at("check").at("metric_name") == "cpu") want.push_back(t);
    FUZZ_REQUIRE(refuse_all != 0 || refuse_cpu != 0 || got_cpu == want, "filtered frames");
  }
  fuzz::end_run();
  return 0;
}
