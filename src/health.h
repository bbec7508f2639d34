/* GET /health: 200 while the message-bus connection is up, 503 with the reason while it is not, so
 * that a load balancer sends clients only to instances that receive the firehose. */
#ifndef VORN_HEALTH_H
#define VORN_HEALTH_H

#include "pask/pask.h"
#include "zint/zint_http.h"

#include <cstdint>
#include <string>

/* Status and body for a bus in state st, entered at since_ns, seen at now_ns (zint_get_nanos).
 * Returns the HTTP status (200 or 503) and fills body (one line ending in "\n"). */
int health_status(pask_state_t st, uint64_t since_ns, uint64_t now_ns, std::string &body);

/* Registers GET /health. Called by api_init. */
void health_init(void);
/* GET /health: health_status of the bus module's current state, as text/plain. */
int health_handler(zint_http_rest_closure_t *restc, int npats, char **pats);

#endif
