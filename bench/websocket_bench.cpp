/* Websocket server benchmarks: frames per second queued by one producer thread and delivered to 100
 * local websocket clients (a broadcast), and the cost of one zint_http_websocket_queue_msg call. */
#include "zint/zint_http.h"

#include <benchmark/benchmark.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;

namespace {

std::mutex sessions_mu;
std::vector<zint_http_session_ctx *> sessions; /* one reference each; sessions_mu */

int hold_handler(zint_http_rest_closure_t *restc, int, const unsigned char *, size_t) {
  zint_http_session_ref_inc(restc->http_ctx);
  std::lock_guard<std::mutex> lk(sessions_mu);
  sessions.push_back(restc->http_ctx);
  return 0;
}

/* 100 clients read on one thread of their own and count every frame. */
struct fleet {
  asio::io_context ioc;
  std::vector<std::unique_ptr<websocket::stream<tcp::socket>>> clients;
  std::vector<beast::flat_buffer> bufs;
  std::atomic<long> delivered{0};
  std::thread runner;

  explicit fleet(int n) {
    static int port = [] {
      zint_http_rest_websocket_register("/bench/", "^(.*)$", "bench", hold_handler);
      return zint_listener_bound_port(zint_listener_add("127.0.0.1", 0, nullptr, nullptr, nullptr));
    }();
    bufs.resize(size_t(n));
    for (int i = 0; i < n; i++) {
      auto ws = std::make_unique<websocket::stream<tcp::socket>>(ioc);
      ws->next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), uint16_t(port)));
      ws->set_option(websocket::stream_base::decorator(
          [](websocket::request_type &r) { r.set(http::field::sec_websocket_protocol, "bench"); }));
      ws->handshake("127.0.0.1", "/bench/");
      ws->write(asio::buffer(std::string("hold")));
      clients.push_back(std::move(ws));
    }
    while (true) {
      std::lock_guard<std::mutex> lk(sessions_mu);
      if (sessions.size() == size_t(n)) break;
    }
    for (int i = 0; i < n; i++) read(size_t(i));
    runner = std::thread([this] { ioc.run(); });
  }
  void read(size_t i) {
    clients[i]->async_read(bufs[i], [this, i](beast::error_code ec, size_t) {
      if (ec) return;
      bufs[i].consume(bufs[i].size());
      delivered.fetch_add(1, std::memory_order_relaxed);
      read(i);
    });
  }
  ~fleet() {
    {
      std::lock_guard<std::mutex> lk(sessions_mu);
      for (auto *s : sessions) zint_http_ctx_session_release(s);
      sessions.clear();
    }
    for (auto &c : clients) {
      beast::error_code ec;
      c->next_layer().shutdown(tcp::socket::shutdown_both, ec);
      c->next_layer().close(ec);
    }
    runner.join();
  }
};

std::string sample_frame() {
  /* About the size of one client data message. */
  return "{\"check_uuid\":\"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\",\"metric_name\":\"cpu`user\","
         "\"timestamp_ms\":1733540000123,\"value_type\":\"n\",\"value\":12.5}";
}

// Broadcast: each iteration queues a batch of frames to all 100 sessions and waits until every
// accepted frame has reached its client.
void BM_Broadcast100(benchmark::State &state) {
  const int n = 100, batch = 200;
  fleet f(n);
  std::vector<zint_http_session_ctx *> targets;
  {
    std::lock_guard<std::mutex> lk(sessions_mu);
    targets = sessions;
  }
  std::string frame = sample_frame();
  auto *p = reinterpret_cast<const unsigned char *>(frame.data());
  long accepted = 0, refused = 0;
  for (auto _ : state) {
    for (int b = 0; b < batch; b++)
      for (auto *s : targets) {
        if (zint_http_websocket_queue_msg(s, 1, p, frame.size())) accepted++;
        else refused++;
      }
    while (f.delivered.load(std::memory_order_relaxed) < accepted) std::this_thread::yield();
  }
  state.counters["frames_delivered_per_s"] = benchmark::Counter(double(accepted), benchmark::Counter::kIsRate);
  state.counters["refused"] = double(refused);
}
BENCHMARK(BM_Broadcast100)->Unit(benchmark::kMillisecond)->UseRealTime();

// One queue_msg call on a session whose client keeps reading (a broadcast's per-session cost:
// consecutive calls with the same bytes share one copy).
void BM_QueueMsgCall(benchmark::State &state) {
  fleet f(1);
  zint_http_session_ctx *s;
  {
    std::lock_guard<std::mutex> lk(sessions_mu);
    s = sessions[0];
  }
  std::string frame = sample_frame();
  auto *p = reinterpret_cast<const unsigned char *>(frame.data());
  long accepted = 0;
  for (auto _ : state) {
    if (zint_http_websocket_queue_msg(s, 1, p, frame.size())) accepted++;
  }
  state.counters["accepted_share"] = double(accepted) / double(state.iterations());
  while (f.delivered.load(std::memory_order_relaxed) < accepted) std::this_thread::yield();
}
BENCHMARK(BM_QueueMsgCall)->UseRealTime();

// The same with a different body each call (every call makes its own copy).
void BM_QueueMsgCallDistinct(benchmark::State &state) {
  fleet f(1);
  zint_http_session_ctx *s;
  {
    std::lock_guard<std::mutex> lk(sessions_mu);
    s = sessions[0];
  }
  std::string frame = sample_frame();
  long accepted = 0;
  unsigned k = 0;
  for (auto _ : state) {
    frame[frame.size() - 3] = char('0' + (k++ % 10));
    if (zint_http_websocket_queue_msg(s, 1, reinterpret_cast<const unsigned char *>(frame.data()), frame.size()))
      accepted++;
  }
  state.counters["accepted_share"] = double(accepted) / double(state.iterations());
  while (f.delivered.load(std::memory_order_relaxed) < accepted) std::this_thread::yield();
}
BENCHMARK(BM_QueueMsgCallDistinct)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
