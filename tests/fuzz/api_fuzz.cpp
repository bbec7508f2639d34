/* Fuzzes the websocket watch protocol: client messages (one per line) to websocket_handler on one or two
 * sessions; every frame is of a known kind and the registry and watch gauges empty. Byte 0: bit 0 binary
 * frames, bit 1 two sessions (lines alternate), bit 2 end the second first, bits 3..7 refused frames. */
#include "api.h"
#include "broker.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::init_service();
  harl_init(); /* no broker database is configured: broker watches end with an error frame */
  api_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  uint8_t flags = data[0];
  uint32_t refuse = (uint32_t) (flags >> 3) * 0x01010101u; /* a 5-bit pattern over the frames */
  std::vector<std::string_view> lines = fuzz::split_lines(data, size);
  {
    fuzz::session a(refuse), b(refuse >> 1);
    fuzz::session *s[2] = {&a, &b};
    for (size_t i = 0; i < lines.size(); i++) {
      fuzz::session *to = s[(flags & 2) ? i & 1 : 0];
      if (to->ended) continue;
      size_t before = to->offered;
      std::vector<unsigned char> msg = fuzz::bytes(lines[i]);
      int fatal =
          websocket_handler(zint_http_session_restc(to->ctx), (flags & 1) ? 2 : 1, msg.data(), msg.size());
      FUZZ_REQUIRE(fatal == 0 || fatal == 1, lines[i]);
      if (!fatal) continue;
      /* Only a message that is not JSON ends the session, and it was told why. */
      FUZZ_REQUIRE(
          to->offered == before + 1 &&
              to->last_offered == "{\"error\":\"Unable to parse incoming json\",\"type\":\"neither\"}",
          to->last_offered);
      to->end();
    }
    for (fuzz::session *x : s)
      for (size_t i = 0; i < x->frames.size(); i++)
        FUZZ_REQUIRE(
            fuzz::is_error_frame(x->frames[i].get_object()) || x->texts[i] == "{\"type\":\"heartbeat\"}",
            x->texts[i]);
    s[(flags >> 2) & 1]->end();
  }
  /* Every stream belonged to these sessions alone; once their records are reclaimed the gauges are 0. */
  if (fuzz::end_run())
    FUZZ_REQUIRE(stats_get_u64(pask_watches) == 0 && stats_get_u64(harl_watches) == 0, "websocket/watches");
  return 0;
}
