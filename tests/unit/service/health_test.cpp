/* GET /health's answer for each state of the bus connection. */
#include "health.h"
#include <gtest/gtest.h>

// what this proves: each bus state gives its status and reason with its age in whole seconds (0 if unknown)
TEST(Health, StatusAndReasonPerBusState) {
  const uint64_t s = 1000000000ull;
  struct {
    pask_state_t state;
    uint64_t since, now;
    int status;
    const char *body;
  } rows[] = {
      {PASK_STATE_CONNECTED, 10 * s, 75 * s + 999999999, 200, "ok: message bus connected for 65 s\n"},
      {PASK_STATE_CONNECTING, 1 * s, 3 * s, 503, "message bus down: not connected yet, trying for 2 s\n"},
      {PASK_STATE_RECONNECTING, 5 * s, 12 * s, 503,
       "message bus down: connection lost 7 s ago, reconnecting\n"},
      {PASK_STATE_CLOSED, 2 * s, 2 * s, 503, "message bus down: connection closed 0 s ago, not retrying\n"},
      {PASK_STATE_CONNECTED, 0, 9 * s, 200, "ok: message bus connected for 0 s\n"},
      {PASK_STATE_CONNECTED, 9 * s, 1 * s, 200, "ok: message bus connected for 0 s\n"},
      {PASK_STATE_STOPPED, 1 * s, 9 * s, 503,
       "message bus down: the message-bus module is not running (see //network/in/mq)\n"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.body);
    std::string body;
    int status = health_status(row.state, row.since, row.now, body);
    EXPECT_EQ(std::make_pair(status, body), std::make_pair(row.status, std::string(row.body)));
  }
}
