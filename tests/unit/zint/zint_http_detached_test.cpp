/* Tests of detached websocket sessions, the connection-less sessions through which tests and
 * fuzzers drive websocket handlers: what reaches the sink, refusals, and the end of the session. */
#include "zint/zint_http.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct sink_state {
  std::vector<std::pair<int, std::string>> got;
  bool take = true;
};

zint_boolean sink(void *arg, int opcode, const unsigned char *buf, size_t len) {
  auto *s = static_cast<sink_state *>(arg);
  if (!s->take) return false;
  s->got.emplace_back(opcode, std::string(reinterpret_cast<const char *>(buf), len));
  return true;
}

int closure_frees = 0;
void count_free(void *p) {
  closure_frees++;
  delete static_cast<int *>(p);
}

} // namespace

// Frames go to the sink in order with their opcode; a refusing sink is a refused frame; bad
// opcodes never reach it.
TEST(HttpDetached, FramesReachTheSink) {
  sink_state st;
  zint_http_session_ctx *ctx = zint_http_detached_session_new(sink, &st);
  ASSERT_NE(ctx, nullptr);
  EXPECT_TRUE(zint_http_websocket_queue_msg(ctx, 1, (const unsigned char *) "one", 3));
  EXPECT_TRUE(zint_http_websocket_queue_msg(ctx, 2, (const unsigned char *) "\0x", 2));
  EXPECT_FALSE(zint_http_websocket_queue_msg(ctx, 9, (const unsigned char *) "bad", 3));
  st.take = false;
  EXPECT_FALSE(zint_http_websocket_queue_msg(ctx, 1, (const unsigned char *) "full", 4));
  ASSERT_EQ(st.got.size(), 2u);
  EXPECT_EQ(st.got[0], std::make_pair(1, std::string("one")));
  EXPECT_EQ(st.got[1], std::make_pair(2, std::string("\0x", 2)));
  EXPECT_EQ(zint_http_detached_session_new(nullptr, nullptr), nullptr);
  zint_http_detached_session_end(ctx);
}

// Ending the session frees the service's closure once and refuses later frames, while a reference
// the service still holds keeps the context usable (the sanitizers see any use after free).
TEST(HttpDetached, EndRunsClosureFreeOnceAndRefusesLater) {
  sink_state st;
  zint_http_session_ctx *ctx = zint_http_detached_session_new(sink, &st);
  zint_http_rest_closure_t *restc = zint_http_session_restc(ctx);
  ASSERT_NE(restc, nullptr);
  EXPECT_EQ(restc->http_ctx, ctx);
  restc->call_closure = new int(7);
  restc->call_closure_free = count_free;
  zint_http_session_ref_inc(ctx); /* a client record of the service */
  closure_frees = 0;
  zint_http_detached_session_end(ctx);
  zint_http_detached_session_end(ctx);
  EXPECT_EQ(closure_frees, 1);
  EXPECT_FALSE(zint_http_websocket_queue_msg(ctx, 1, (const unsigned char *) "late", 4));
  EXPECT_TRUE(st.got.empty());
  zint_http_ctx_session_release(ctx);
}
