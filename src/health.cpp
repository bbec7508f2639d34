/* GET /health: answers from the message-bus module's connection state, which the NATS client's
 * callbacks keep current; nothing is probed on the request's thread. */
#include "health.h"

#include "zint/zint_time.h"

int health_status(pask_state_t st, uint64_t since_ns, uint64_t now_ns, std::string &body) {
  uint64_t secs = now_ns > since_ns && since_ns != 0 ? (now_ns - since_ns) / 1000000000ull : 0;
  std::string age = std::to_string(secs) + " s";
  switch (st) {
  case PASK_STATE_CONNECTED:
    body = "ok: message bus connected for " + age + "\n";
    return 200;
  case PASK_STATE_CONNECTING:
    body = "message bus down: not connected yet, trying for " + age + "\n";
    break;
  case PASK_STATE_RECONNECTING:
    body = "message bus down: connection lost " + age + " ago, reconnecting\n";
    break;
  case PASK_STATE_CLOSED:
    body = "message bus down: connection closed " + age + " ago, not retrying\n";
    break;
  default:
    body = "message bus down: the message-bus module is not running (see //network/in/mq)\n";
    break;
  }
  return 503;
}

int health_handler(zint_http_rest_closure_t *restc, int npats, char **pats) {
  (void) npats;
  (void) pats;
  uint64_t since = 0;
  pask_state_t st = pask_module_state(&since);
  std::string body;
  int code = health_status(st, since, zint_get_nanos(), body);
  zint_http_session_ctx *ctx = restc->http_ctx;
  zint_http_response_status_set(ctx, code, code == 200 ? "OK" : "Service Unavailable");
  zint_http_response_header_set(ctx, "Content-Type", "text/plain; charset=utf-8");
  zint_http_response_header_set(ctx, "Cache-Control", "no-store");
  zint_http_response_append(ctx, body.data(), body.size());
  zint_http_response_end(ctx);
  return 0;
}

void health_init(void) { zint_http_rest_register("GET", "/", "^health$", health_handler); }
