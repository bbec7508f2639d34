/* harl-sim: a broker livestream endpoint for tests and the demo. Serves websockets at "/livestream/"
 * (sub-protocol "harl_livestream", TLS optional), takes subscription requests and streams made-up
 * samples of any check, with heartbeats, plus switches that make it misbehave on purpose.
 * One thread, one io_context: sessions share no locks. */
#include "zint/zint_byte_stream.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
namespace json = boost::json;
using tcp = boost::asio::ip::tcp;
using sim_clock = std::chrono::steady_clock;

/* A metric the simulator invents values for. kind: 'n' double, 'i' integer, 's' string,
 * 'o' object, 'z' null, 'h' histogram. */
struct sim_metric {
  std::string name;
  char kind;
};

/* Command-line settings, fixed after start-up. */
struct sim_options {
  std::string host = "127.0.0.1";
  unsigned short port = 0;
  std::string cert_file, key_file;  // both set: TLS
  long heartbeat_ms = 2000;         // 0: no heartbeats
  long close_after = 0;             // close each connection after this many sample frames (0: never)
  long min_period_ms = 10;          // shorter requested periods are raised to this
  bool refuse = false;              // answer every upgrade with 503
  bool malformed = false;           // send broken frames before each batch of samples
  long big_frame_bytes = 0;         // send a sample frame of about this many bytes before each batch (0: none)
  std::string events_file;          // one JSON line per connection event, for tests
  std::vector<sim_metric> catalog = {{"cpu", 'n'}, {"mem", 'i'}, {"state", 's'}, {"latency", 'h'}};
};

static sim_options opts;
static FILE *events_out;
static unsigned long next_conn_id = 1;

static void sim_event(json::object ev) {
  if (!events_out) return;
  std::string line = json::serialize(ev);
  fprintf(events_out, "%s\n", line.c_str());
  fflush(events_out);
}

static uint64_t sim_now_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

/* A connection's current subscription; a new request replaces it whole. */
struct sim_subscription {
  std::string check_uuid;
  uint64_t period_ms = 0;
  bool all_metrics = true;
  std::vector<std::string> metrics;
};

/* Checks one request; on success fills sub, otherwise says why. */
static bool sim_parse_request(std::string_view text, sim_subscription &sub, std::string &why) {
  boost::system::error_code ec;
  json::value v = json::parse(text, ec);
  if (ec) {
    why = "not JSON: " + ec.message();
    return false;
  }
  const json::object *o = v.if_object();
  if (!o) {
    why = "not an object";
    return false;
  }
  const json::value *uuid = o->if_contains("check_uuid");
  if (!uuid || !uuid->is_string() || uuid->as_string().empty()) {
    why = "check_uuid missing or not a string";
    return false;
  }
  const json::value *period = o->if_contains("period_ms");
  uint64_t p = 0;
  if (period && period->is_uint64())
    p = period->as_uint64();
  else if (period && period->is_int64() && period->as_int64() > 0)
    p = static_cast<uint64_t>(period->as_int64());
  else {
    why = "period_ms missing or not a positive integer";
    return false;
  }
  if (p == 0 || p > 86400000) {
    why = "period_ms outside 1..86400000";
    return false;
  }
  sim_subscription s;
  s.check_uuid = std::string(uuid->as_string());
  s.period_ms = static_cast<uint64_t>(std::max<long>(static_cast<long>(p), opts.min_period_ms));
  if (const json::value *m = o->if_contains("metrics")) {
    const json::array *a = m->if_array();
    if (!a) {
      why = "metrics is not an array";
      return false;
    }
    s.all_metrics = false;
    for (const json::value &e : *a) {
      if (!e.is_string()) {
        why = "metrics holds a non-string";
        return false;
      }
      s.metrics.emplace_back(e.as_string());
    }
  }
  sub = std::move(s);
  return true;
}

static char sim_kind_of(const std::string &name) {
  for (const sim_metric &m : opts.catalog)
    if (m.name == name) return m.kind;
  return 'n';  // a metric the catalog does not know is served as a plain number
}

/* One sample frame of metric name for the subscription, seq counting the batches. */
static std::string sim_sample(const sim_subscription &sub, const std::string &name, char kind,
                              uint64_t seq, uint64_t ts) {
  json::object o;
  o["type"] = kind == 'h' ? "H" : "M";
  o["check_uuid"] = sub.check_uuid;
  o["timestamp_ms"] = ts;
  o["value_type"] = std::string(1, kind == 'h' ? 'h' : kind);
  o["stream_tags"] = json::array{"sim:harl-sim"};
  switch (kind) {
    case 'i': o[name] = seq; break;
    case 's': o[name] = "ok-" + std::to_string(seq); break;
    case 'o': o[name] = json::object{{"seq", seq}, {"label", "sim"}}; break;
    case 'z': o[name] = nullptr; break;
    case 'h':
      o[name] = json::array{json::object{{"bucket", 0.5}, {"count", seq + 1}},
                            json::object{{"bucket", 10}, {"count", 1}}};
      break;
    default: o[name] = static_cast<double>(seq) + 0.5; break;
  }
  return json::serialize(o);
}

/* Frames a misbehaving broker might send; a sound client survives every one of them. */
static std::vector<std::string> sim_malformed(const sim_subscription &sub, uint64_t ts) {
  std::string id = json::serialize(json::value(sub.check_uuid));
  std::string t = std::to_string(ts);
  return {
      "{not json",
      "{\"value\":1}",
      "{\"type\":\"status\",\"detail\":\"sim\"}",
      "{\"type\":\"M\",\"timestamp_ms\":" + t + ",\"cpu\":1}",
      "{\"type\":\"M\",\"check_uuid\":7,\"timestamp_ms\":" + t + ",\"cpu\":1}",
      "{\"type\":\"H\",\"check_uuid\":" + id + ",\"timestamp_ms\":" + t + ",\"latency\":5}",
      "{\"type\":\"H\",\"check_uuid\":" + id + ",\"timestamp_ms\":" + t + ",\"latency\":[1,\"x\"]}",
      "{\"type\":\"H\",\"check_uuid\":" + id + ",\"timestamp_ms\":" + t +
          ",\"latency\":[{\"count\":1},{\"bucket\":\"x\",\"count\":2}]}",
  };
}

struct sim_session;
static std::set<std::weak_ptr<sim_session>, std::owner_less<std::weak_ptr<sim_session>>> sessions;

/* One client connection, plain TCP or TLS. The reader coroutine takes requests; the writer
 * coroutine is the only one that writes, so one write is in flight at a time. */
struct sim_session : std::enable_shared_from_this<sim_session> {
  websocket::stream<zint::byte_stream> ws;
  net::steady_timer timer;      // the writer's next due time; cancelled to wake it early
  sim_subscription sub;         // current subscription (valid when subscribed)
  bool subscribed = false;
  bool closed = false;          // set once either side ended the connection
  uint64_t seq = 0;             // batches sent
  long sample_frames = 0;       // non-heartbeat frames sent
  sim_clock::time_point next_data, next_heartbeat;
  unsigned long id;

  sim_session(net::any_io_executor ex, zint::byte_stream &&stream)
      : ws(std::move(stream)), timer(ex), id(next_conn_id++) {}

  void abort() {
    closed = true;
    timer.cancel();
    boost::system::error_code ec;
    ws.next_layer().tcp().socket().close(ec);
  }

  void finish(const char *by) {
    if (closed) return;
    closed = true;
    timer.cancel();
    sim_event({{"event", "close"}, {"conn", id}, {"by", by}, {"frames", sample_frames}});
  }

  net::awaitable<bool> handshake_tls() {
    if (ws.next_layer().tls_handle()) {
      boost::system::error_code ec;
      ws.next_layer().tcp().expires_after(std::chrono::seconds(10));
      co_await ws.next_layer().async_handshake(ssl::stream_base::server,
                                               net::redirect_error(net::use_awaitable, ec));
      ws.next_layer().tcp().expires_never();
      if (ec) {
        fprintf(stderr, "harl-sim: TLS handshake failed: %s\n", ec.message().c_str());
        co_return false;
      }
    }
    co_return true;
  }

  net::awaitable<void> reply(http::request<http::string_body> &req, http::status st,
                             const char *body) {
    http::response<http::string_body> res{st, req.version()};
    res.set(http::field::content_type, "text/plain");
    res.keep_alive(false);
    res.body() = body;
    res.prepare_payload();
    boost::system::error_code ec;
    co_await http::async_write(ws.next_layer(), res, net::redirect_error(net::use_awaitable, ec));
  }

  static net::awaitable<void> run(std::shared_ptr<sim_session> self) {
    if (!co_await self->handshake_tls()) co_return;
    beast::flat_buffer buf;
    http::request<http::string_body> req;
    boost::system::error_code ec;
    self->ws.next_layer().tcp().expires_after(std::chrono::seconds(10));
    co_await http::async_read(self->ws.next_layer(), buf, req,
                              net::redirect_error(net::use_awaitable, ec));
    self->ws.next_layer().tcp().expires_never();
    if (ec) co_return;
    std::string protocols(req[http::field::sec_websocket_protocol]);
    const char *refusal = nullptr;
    http::status st = http::status::ok;
    if (opts.refuse) {
      refusal = "refused\n", st = http::status::service_unavailable;
    } else if (!websocket::is_upgrade(req)) {
      refusal = "websocket upgrade required\n", st = http::status::upgrade_required;
    } else if (req.target() != "/livestream/" && req.target() != "/livestream") {
      refusal = "no such endpoint\n", st = http::status::not_found;
    } else if (protocols.find("harl_livestream") == std::string::npos) {
      refusal = "sub-protocol harl_livestream required\n", st = http::status::bad_request;
    }
    if (refusal) {
      sim_event({{"event", "refused"}, {"conn", self->id}, {"status", static_cast<int>(st)}});
      co_await self->reply(req, st, refusal);
      co_return;
    }
    self->ws.set_option(websocket::stream_base::decorator([](websocket::response_type &res) {
      res.set(http::field::sec_websocket_protocol, "harl_livestream");
      res.set(http::field::server, "harl-sim");
    }));
    self->ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    co_await self->ws.async_accept(req, net::redirect_error(net::use_awaitable, ec));
    if (ec) co_return;
    sim_event({{"event", "connect"}, {"conn", self->id}});
    self->next_heartbeat = sim_clock::now() + std::chrono::milliseconds(opts.heartbeat_ms);
    net::co_spawn(self->timer.get_executor(), writer(self), net::detached);
    co_await reader(self);
  }

  static net::awaitable<void> reader(std::shared_ptr<sim_session> self) {
    beast::flat_buffer buf;
    for (;;) {
      boost::system::error_code ec;
      co_await self->ws.async_read(buf, net::redirect_error(net::use_awaitable, ec));
      if (ec) {
        self->finish(self->closed ? "sim" : "peer");
        co_return;
      }
      std::string text = beast::buffers_to_string(buf.data());
      buf.consume(buf.size());
      sim_subscription sub;
      std::string why;
      if (!sim_parse_request(text, sub, why)) {
        fprintf(stderr, "harl-sim: conn %lu: ignoring request (%s)\n", self->id, why.c_str());
        sim_event({{"event", "bad_request"}, {"conn", self->id}, {"why", why}, {"text", text}});
        continue;
      }
      json::object ev{{"event", "request"}, {"conn", self->id}};
      ev["request"] = json::parse(text);
      sim_event(std::move(ev));
      self->sub = std::move(sub);
      self->subscribed = true;
      self->next_data = sim_clock::now();
      self->timer.cancel();
    }
  }

  net::awaitable<bool> send(const std::string &text, bool sample) {
    boost::system::error_code ec;
    co_await ws.async_write(net::buffer(text), net::redirect_error(net::use_awaitable, ec));
    if (ec) co_return false;
    if (sample) sample_frames++;
    co_return true;
  }

  /* Sends one batch; false when the connection is gone or has just been closed on purpose. */
  net::awaitable<bool> send_batch() {
    uint64_t ts = sim_now_ms();
    std::vector<std::string> frames;
    if (opts.malformed) frames = sim_malformed(sub, ts);
    if (opts.big_frame_bytes > 0) {
      /* A string sample padded to the requested size: only its size is wrong. */
      std::string blob = sim_sample(sub, "blob", 's', seq, ts);
      size_t want = static_cast<size_t>(opts.big_frame_bytes);
      if (blob.size() < want) {
        json::object o = json::parse(blob).as_object();
        o["blob"] = std::string(want - blob.size(), 'x') + o["blob"].as_string().c_str();
        blob = json::serialize(o);
      }
      frames.push_back(std::move(blob));
    }
    if (sub.all_metrics) {
      for (const sim_metric &m : opts.catalog)
        frames.push_back(sim_sample(sub, m.name, m.kind, seq, ts));
    } else {
      for (const std::string &name : sub.metrics)
        frames.push_back(sim_sample(sub, name, sim_kind_of(name), seq, ts));
    }
    seq++;
    for (const std::string &f : frames) {
      if (closed || !co_await send(f, true)) co_return false;
      if (opts.close_after > 0 && sample_frames >= opts.close_after) {
        finish("sim");
        boost::system::error_code ec;
        co_await ws.async_close(websocket::close_code::normal,
                                net::redirect_error(net::use_awaitable, ec));
        co_return false;
      }
    }
    co_return true;
  }

  static net::awaitable<void> writer(std::shared_ptr<sim_session> self) {
    while (!self->closed) {
      auto due = sim_clock::time_point::max();
      if (opts.heartbeat_ms > 0) due = self->next_heartbeat;
      if (self->subscribed) due = std::min(due, self->next_data);
      self->timer.expires_at(due);
      boost::system::error_code ec;
      co_await self->timer.async_wait(net::redirect_error(net::use_awaitable, ec));
      if (self->closed) break;
      auto now = sim_clock::now();
      if (opts.heartbeat_ms > 0 && now >= self->next_heartbeat) {
        self->next_heartbeat = now + std::chrono::milliseconds(opts.heartbeat_ms);
        if (!co_await self->send("{\"type\":\"heartbeat\"}", false)) break;
      }
      if (self->subscribed && now >= self->next_data) {
        self->next_data = now + std::chrono::milliseconds(self->sub.period_ms);
        if (!co_await self->send_batch()) break;
      }
    }
  }
};

static net::awaitable<void> sim_accept(tcp::acceptor &acceptor, ssl::context *tls) {
  for (;;) {
    boost::system::error_code ec;
    tcp::socket sock = co_await acceptor.async_accept(net::redirect_error(net::use_awaitable, ec));
    if (ec) {
      if (!acceptor.is_open()) co_return;
      continue;  // e.g. out of descriptors: keep serving the others
    }
    auto ex = acceptor.get_executor();
    beast::tcp_stream tcp(std::move(sock));
    auto s = std::make_shared<sim_session>(
        ex, tls ? zint::byte_stream(std::move(tcp), *tls) : zint::byte_stream(std::move(tcp)));
    sessions.insert(s);
    net::co_spawn(ex, sim_session::run(s), net::detached);
    std::erase_if(sessions, [](const auto &w) { return w.expired(); });
  }
}

static void sim_usage(const char *prog) {
  fprintf(stderr,
          "usage: %s [options]\n"
          "  --host ADDR          listen address (default 127.0.0.1)\n"
          "  --port N             listen port, 0 for any free one (default 0)\n"
          "  --tls-cert FILE --tls-key FILE   serve wss with this PEM certificate and key\n"
          "  --heartbeat-ms N     heartbeat interval, 0 for none (default 2000)\n"
          "  --metrics LIST       name:kind,... served without a \"metrics\" filter; kinds n i s o z h\n"
          "                       (default cpu:n,mem:i,state:s,latency:h)\n"
          "  --close-after N      close each connection after N sample frames\n"
          "  --refuse             answer every websocket upgrade with 503\n"
          "  --malformed          send broken frames before each batch\n"
          "  --big-frame-bytes N  send a sample frame of about N bytes before each batch\n"
          "  --min-period-ms N    raise shorter requested periods to N (default 10)\n"
          "  --events FILE        append one JSON line per connection event\n"
          "Prints \"listening on ADDR:PORT\" on stdout when ready; stops on SIGTERM or SIGINT.\n",
          prog);
}

static bool sim_parse_long(const char *s, long lo, long hi, long &out) {
  char *end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno || end == s || *end || v < lo || v > hi) return false;
  out = v;
  return true;
}

static bool sim_parse_catalog(const std::string &text, std::vector<sim_metric> &out) {
  std::vector<sim_metric> cat;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    size_t colon = item.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 2 != item.size() ||
        !strchr("nisozh", item[colon + 1]))
      return false;
    cat.push_back({item.substr(0, colon), item[colon + 1]});
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  out = std::move(cat);
  return !out.empty();
}

static bool sim_parse_args(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
    long n = 0;
    const char *v = nullptr;
    if (a == "--refuse") {
      opts.refuse = true;
    } else if (a == "--malformed") {
      opts.malformed = true;
    } else if (a == "-h" || a == "--help") {
      return false;
    } else if (!(v = value())) {
      fprintf(stderr, "harl-sim: %s needs a value\n", a.c_str());
      return false;
    } else if (a == "--host") {
      opts.host = v;
    } else if (a == "--port" && sim_parse_long(v, 0, 65535, n)) {
      opts.port = static_cast<unsigned short>(n);
    } else if (a == "--tls-cert") {
      opts.cert_file = v;
    } else if (a == "--tls-key") {
      opts.key_file = v;
    } else if (a == "--heartbeat-ms" && sim_parse_long(v, 0, 3600000, n)) {
      opts.heartbeat_ms = n;
    } else if (a == "--close-after" && sim_parse_long(v, 0, 1000000000, n)) {
      opts.close_after = n;
    } else if (a == "--big-frame-bytes" && sim_parse_long(v, 0, 1L << 30, n)) {
      opts.big_frame_bytes = n;
    } else if (a == "--min-period-ms" && sim_parse_long(v, 1, 86400000, n)) {
      opts.min_period_ms = n;
    } else if (a == "--events") {
      opts.events_file = v;
    } else if (a == "--metrics" && sim_parse_catalog(v, opts.catalog)) {
    } else {
      fprintf(stderr, "harl-sim: bad option or value: %s %s\n", a.c_str(), v);
      return false;
    }
  }
  if (opts.cert_file.empty() != opts.key_file.empty()) {
    fprintf(stderr, "harl-sim: --tls-cert and --tls-key go together\n");
    return false;
  }
  return true;
}

int main(int argc, char **argv) {
  if (!sim_parse_args(argc, argv)) {
    sim_usage(argv[0]);
    return 2;
  }
  if (!opts.events_file.empty() && !(events_out = fopen(opts.events_file.c_str(), "a"))) {
    fprintf(stderr, "harl-sim: cannot open %s: %s\n", opts.events_file.c_str(), strerror(errno));
    return 1;
  }
  net::io_context io(1);
  std::unique_ptr<ssl::context> tls;
  if (!opts.cert_file.empty()) {
    tls = std::make_unique<ssl::context>(ssl::context::tls_server);
    boost::system::error_code ec1, ec2;
    tls->use_certificate_chain_file(opts.cert_file, ec1);
    tls->use_private_key_file(opts.key_file, ssl::context::pem, ec2);
    if (ec1 || ec2) {
      fprintf(stderr, "harl-sim: cannot load TLS certificate or key: %s\n",
              (ec1 ? ec1 : ec2).message().c_str());
      return 1;
    }
  }
  boost::system::error_code ec;
  auto addr = net::ip::make_address(opts.host, ec);
  if (ec) {
    fprintf(stderr, "harl-sim: bad address %s\n", opts.host.c_str());
    return 2;
  }
  tcp::acceptor acceptor(io);
  tcp::endpoint ep(addr, opts.port);
  acceptor.open(ep.protocol(), ec);
  if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(ep, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    fprintf(stderr, "harl-sim: cannot listen on %s:%u: %s\n", opts.host.c_str(), opts.port,
            ec.message().c_str());
    return 1;
  }
  net::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code &, int) {
    boost::system::error_code ignored;
    acceptor.close(ignored);
    for (const auto &w : sessions)
      if (auto s = w.lock()) s->abort();
  });
  net::co_spawn(io, sim_accept(acceptor, tls.get()), net::detached);
  auto bound = acceptor.local_endpoint();
  printf("listening on %s:%u\n", bound.address().to_string().c_str(), bound.port());
  fflush(stdout);
  io.run();
  if (events_out) fclose(events_out);
  return 0;
}
