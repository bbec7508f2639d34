/* Fuzzes the bus ingest from payload to frames (hook, dedupe, lines, bundles, data messages); one session
 * watches all of checks A and B, one "cpu" of A. Every frame is a data message of a watched check; "cpu" gets
 * exactly the other's "cpu" frames of A; only a timed payload is dropped on repeat; the registry empties. */
#include "data_message.h"
#include "dedup.h"
#include "fuzz_support.h"
#include "harl/harl.h"
#include "ingest.h"
#include "zint/zint_startup.h"
#include <cmath>
#include <thread>

namespace {
const char *const kA = "0b7c4e1a-5d2f-4c3b-9a8e-7f6d5c4b3a21", *const kB =
                                                                   "1c8d5f2b-6e3a-4d4c-8b9f-8a7e6d5c4b32";
/* Hands a payload to the hook the way the bus module does: a private buffer with a NUL after it. */
void deliver(const std::string &payload) {
  std::vector<char> buf(payload.begin(), payload.end());
  buf.push_back('\0');
  handle_pask_message(nullptr, nullptr, 1, nullptr, buf.data(), payload.size());
}
/* A data message of a watched check with a finite time (exact messages: unit/service/ingest_test). */
void check_frame(const boost::json::value &v, const std::string &text) {
  FUZZ_REQUIRE(fuzz::is_data_frame(v.get_object()), text);
  const boost::json::object &c = v.get_object().at("check").get_object();
  FUZZ_REQUIRE((c.at("id") == kA || c.at("id") == kB) && std::isfinite(c.at("time").to_number<double>()),
               text);
}
/* 'b' and a text: the text packed as a bundle, so that mutations reach lines inside bundles. */
std::string payload_of(const uint8_t *data, size_t size) {
  std::string raw(reinterpret_cast<const char *>(data), size);
  if (size == 0 || data[0] != 'b') return raw;
  int count = 1 + (int) std::count(raw.begin() + 1, raw.end(), '\n');
  size_t len = 0;
  std::unique_ptr<char, decltype(&free)> b(
      harl_bundle_build("broker-fuzz-01", "1733540000.5", raw.data() + 1, size - 1, count, &len), free);
  return b ? std::string(b.get(), len) : raw;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::init_service();
  /* Hooks need the bus module loaded: here it is, without a connection. */
  zint_dso_reset();
  zint_dso_register("pask", nullptr, [] { return 0; });
  zint_dso_init();
  eventer_jobq_create(PROCESS_PASK_MESSAGE_JOBQ, 1, 0, 0);
  eventer_jobq_create(PRUNE_DEDUPE_HASHES_JOBQ, 1, 0, 0);
  pask_init();
  pask_set_use_jobq(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string payload = payload_of(data, size);
  {
    fuzz::session all, cpu;
    const char *names[] = {"cpu"};
    pask_subscribe_client(vorn_client_new(all.ctx, nullptr, 0, nullptr), kA);
    pask_subscribe_client(vorn_client_new(all.ctx, nullptr, 0, nullptr), kB);
    pask_subscribe_client(vorn_client_new(cpu.ctx, names, 1, nullptr), kA);
    deliver(payload);
    size_t first = all.frames.size() + cpu.frames.size();
    deliver(payload);
    /* A payload with a timestamp is remembered by its digest: the second delivery is dropped; one without
     * passes again. */
    std::string seen = payload.substr(0, payload.size() - (!payload.empty() && payload.back() == '\n'));
    bool timed =
        !seen.empty() && get_message_time(seen.c_str(), (int) std::min<size_t>(seen.size(), INT32_MAX));
    FUZZ_REQUIRE(all.frames.size() + cpu.frames.size() == (timed ? first : 2 * first), payload);
    std::vector<std::string> want;
    for (size_t i = 0; i < all.frames.size(); i++) {
      check_frame(all.frames[i], all.texts[i]);
      const boost::json::object &c = all.frames[i].get_object().at("check").get_object();
      if (c.at("id") == kA && c.at("metric_name") == "cpu") want.push_back(all.texts[i]);
    }
    FUZZ_REQUIRE(cpu.texts == want, payload);
    /* As when a session ends: its records leave the streams through a thin record. */
    for (auto [s, uuid] : {std::pair{&all, kA}, std::pair{&all, kB}, std::pair{&cpu, kA}}) {
      vorn_client_t *thin = vorn_client_new_thin(s->ctx);
      pask_unsubscribe_client(thin, uuid);
      vorn_client_free(thin);
    }
  }
  /* Forget every digest, so that the next input is not taken for a repeat of this one. */
  while (pask_prune_dedupe_at(UINT64_MAX) < 0) std::this_thread::yield();
  fuzz::end_run();
  return 0;
}
