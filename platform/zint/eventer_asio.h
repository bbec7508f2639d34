/* zint event loop, Asio side: the io_context behind a pool, for the few modules (HTTP, websocket
 * server and client) that drive sockets themselves. Kept apart so that most files stay free of Asio. */
#ifndef ZINT_EVENTER_ASIO_H
#define ZINT_EVENTER_ASIO_H

#include "zint/eventer.h"

#include <boost/asio/io_context.hpp>

boost::asio::io_context &eventer_pool_io_context(eventer_pool_t *pool);
/* Number of threads that run the pool's io_context. */
int eventer_pool_concurrency(eventer_pool_t *pool);

#endif
