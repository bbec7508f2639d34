/* Fuzzes the broker side of a broker stream: each input is a run of frames (one per line) that a
 * broker sends on the stream's connection, handed to the connection's message handler exactly as
 * the websocket client does, down to translation and broadcast. Two detached sessions are on the
 * stream, one for every metric and one for "cpu" only. Byte 0: bits 0..3 and 4..7 pick frames the
 * two sessions refuse (a full queue drops a session from the stream). Properties: every frame a
 * session gets is a client data message, or, once, the error frame of the ended connection; the
 * handler's result is true exactly while the stream exists; without refusals the filtered session
 * gets exactly the wildcard session's "cpu" frames; the registry is empty at the end. */
#include "broker.h"
#include "fuzz_support.h"

#include <cstring>
#include <new>

namespace {
const char *const kUuid = "0b1c4c2e-2d0a-4f8e-9a57-2b8f6d1c9e01";
const int kPeriod = 60000;

/* What harl_subscribe_callback does once a connection has been started: the record becomes the
 * stream's upstream closure, bound to this stream instance. */
zint_boolean attach(stream_closure_t *sc, void *v_nk) {
  harl_key_t *nk = static_cast<harl_key_t *>(v_nk);
  if (!stream_closure_get_closure(sc)) stream_closure_get_id(sc, nk->sc_id), stream_closure_set_closure(sc, nk);
  return true;
}

harl_key_t *new_key() {
  harl_key_t *nk = new (calloc(1, sizeof(harl_key_t))) harl_key_t();
  nk->uuid = strdup(kUuid);
  nk->period = kPeriod;
  nk->key = concat_uuid_period(kUuid, kPeriod, &nk->klen);
  nk->dirty.store(false);
  return nk;
}

void join(fuzz::session &s, harl_key_t *nk, const char **names, size_t n) {
  FUZZ_REQUIRE(stream_hash_add_client(strdup(nk->key), nk->klen, vorn_client_new(s.ctx, names, n, nullptr), attach, nk), "join");
}

/* Checks a session's frames; returns the texts of its data frames. */
std::vector<std::string> check_frames(const fuzz::session &s) {
  std::vector<std::string> data;
  bool ended = false;
  for (size_t i = 0; i < s.frames.size(); i++) {
    const boost::json::object &o = s.frames[i].get_object();
    FUZZ_REQUIRE(!ended, s.texts[i]); /* nothing after the error frame */
    if (fuzz::is_data_frame(o)) {
      data.push_back(s.texts[i]);
      continue;
    }
    FUZZ_REQUIRE(s.texts[i] == std::string("{\"error\":\"connection to broker was terminated\",\"id\":\"") + kUuid +
                                   "\",\"period\":60000,\"type\":\"watch\"}", s.texts[i]);
    ended = true;
  }
  return data;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = (fuzz::init_service(), harl_init(), true);
  (void) ready;
  if (size == 0) return 0;
  uint32_t refuse_all = (data[0] & 0x0f) * 0x11111111u, refuse_cpu = (data[0] >> 4) * 0x11111111u;
  std::vector<std::string_view> lines = fuzz::split_lines(data + 1, size - 1);
  {
    fuzz::session all(refuse_all), cpu(refuse_cpu);
    harl_key_t *nk = new_key();
    const char *names[] = {"cpu"};
    join(all, nk, nullptr, 0), join(cpu, nk, names, 1);
    FUZZ_REQUIRE(stream_hash_size() == 1, "stream");

    for (std::string_view line : lines) {
      std::vector<unsigned char> msg(line.begin(), line.end()); /* exactly sized */
      zint_boolean open = harl_websocket_client_msg_handler(nullptr, 1, msg.data(), msg.size(), nk);
      FUZZ_REQUIRE(open == (stream_hash_size() == 1), line);
      if (!open) break; /* the websocket client closes the connection */
    }
    /* The connection ends (closed after a false result, or by the broker): the cleanup handler. */
    harl_websocket_client_cleanup_handler(nullptr, nk);
    FUZZ_REQUIRE(stream_hash_size() == 0, "stream after cleanup");

    std::vector<std::string> got_all = check_frames(all), got_cpu = check_frames(cpu);
    if (refuse_all == 0 && refuse_cpu == 0) {
      std::vector<std::string> want;
      for (const std::string &t : got_all)
        if (boost::json::parse(t).at("check").at("metric_name") == "cpu") want.push_back(t);
      FUZZ_REQUIRE(got_cpu == want, "filtered frames");
    }
    all.end(), cpu.end();
  }
  fuzz::settle();
  FUZZ_REQUIRE(stream_hash_size() == 0, "stream at the end");
  return 0;
}
