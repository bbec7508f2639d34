/* vorn-watch: a command-line client of the watch protocol. Sends one watch, prints every frame as one
 * line (or a compact table) until Ctrl-C, and reports error frames on stderr; a refused watch ends
 * the program with status 1. When the connection ends otherwise (the server's close, a dropped
 * connection, a failed connect) it connects again with a growing, jittered delay and sends the
 * watch again; --once ends the program instead. */
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
namespace json = boost::json;
using tcp = asio::ip::tcp;
using watch_clock = std::chrono::steady_clock;

namespace {

/* Reconnection delays: the first wait, its cap, and how long a connection must have lived for the
 * next wait to start again from the first. */
constexpr std::chrono::milliseconds kRetryFirst{500};
constexpr std::chrono::milliseconds kRetryCap{10000};
constexpr std::chrono::seconds kRetryResetAfter{30};

struct options {
  std::string host, port = "80", path = "/", id;
  long long period = 0;
  std::vector<std::string> metrics;
  bool table = false;
  bool once = false; /* end at the first end of the connection instead of reconnecting */
  std::string token, token_file; /* access token, or the file holding it (read at every connect) */
};

int usage(const char *prog) {
  fprintf(stderr,
          "usage: %s ws://host:port/ --id UUID [--period MS] [--metric NAME]... [--table] [--once]\n"
          "       [--token TOKEN | --token-file FILE]\n"
          "  Watches one check and prints each frame as one line; Ctrl-C ends.\n"
          "  When the connection ends (the server closes it, e.g. with 1013 \"client too slow\" when\n"
          "  this client fell behind, it drops, or it cannot be made), connects again after 0.5 s,\n"
          "  doubling up to 10 s, and sends the watch again. A refused watch ends with status 1.\n"
          "  --once  exit with status 1 when the connection ends instead of reconnecting\n"
          "  --token, --token-file  the access token, sent as \"Authorization: Bearer\"; the file is read\n"
          "          at every connect, so a renewed token is taken up. A refused token ends with status 1\n",
          prog);
  return 2;
}

bool parse_url(const std::string &url, options &o) {
  const std::string scheme = "ws://";
  if (url.compare(0, scheme.size(), scheme) != 0) return false;
  std::string rest = url.substr(scheme.size());
  size_t slash = rest.find('/');
  std::string hostport = rest.substr(0, slash);
  o.path = slash == std::string::npos ? "/" : rest.substr(slash);
  size_t colon = hostport.rfind(':');
  if (colon != std::string::npos && hostport.find(']') == std::string::npos) {
    o.host = hostport.substr(0, colon);
    o.port = hostport.substr(colon + 1);
  } else {
    o.host = hostport;
  }
  if (!o.host.empty() && o.host.front() == '[' && o.host.back() == ']') o.host = o.host.substr(1, o.host.size() - 2);
  return !o.host.empty() && !o.port.empty();
}

/* The token to present: --token, or the first line of --token-file; false when that cannot be read. */
bool current_token(const options &o, std::string *out) {
  out->assign(o.token);
  if (o.token_file.empty()) return true;
  FILE *f = fopen(o.token_file.c_str(), "r");
  if (!f) return false;
  char buf[16384];
  out->assign(fgets(buf, sizeof buf, f) ? buf : "");
  fclose(f);
  while (!out->empty() && isspace((unsigned char) out->back())) out->pop_back();
  return !out->empty();
}

/* Error frames about the broker stream end only that stream; the bus subscription goes on. */
bool is_refusal(const std::string &error) {
  static const char *stream_errors[] = {"could not find broker for provided uuid",
                                        "websocket connection to broker failed",
                                        "connection to broker was terminated"};
  for (const char *e : stream_errors)
    if (error == e) return false;
  return true;
}

/* Numbers as people write them: Boost.JSON 1.81 would print a double as 1.5E0. */
std::string scalar_text(const json::value &v) {
  if (v.is_string()) return std::string(v.as_string());
  if (v.is_double()) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v.as_double());
    return std::string(buf, r.ptr);
  }
  return json::serialize(v);
}

/* One line per sample: time, metric and value (histograms as bucket=count pairs). */
std::string table_line(const json::object &check) {
  std::string line;
  if (auto *t = check.if_contains("time")) line += scalar_text(*t);
  line += "\t";
  if (auto *m = check.if_contains("metric_name")) line += scalar_text(*m);
  line += "\t";
  if (auto *v = check.if_contains("value")) {
    line += scalar_text(*v);
  } else if (auto *h = check.if_contains("histogram"); h && h->is_object()) {
    bool first = true;
    for (auto &kv : h->as_object()) {
      if (!first) line += " ";
      first = false;
      line += std::string(kv.key()) + "=" + scalar_text(kv.value());
    }
  }
  return line;
}


/* The watch request sent on every connection. */
std::string watch_request(const options &o) {
  json::object entry{{"id", o.id}};
  if (o.period) entry["period"] = o.period;
  if (!o.metrics.empty()) {
    json::array names;
    for (auto &m : o.metrics) names.emplace_back(m);
    entry["metrics"] = std::move(names);
  }
  return json::serialize(json::object{{"watch", json::array{entry}}});
}

/* One watch kept alive across connections. Everything runs on one thread: the handlers of a
 * connection that has ended are told apart by its generation and do nothing. */
struct watcher {
  const options &o;
  asio::io_context &ioc;
  tcp::resolver resolver{ioc};
  asio::steady_timer retry_timer{ioc};
  asio::signal_set signals{ioc, SIGINT, SIGTERM};
  std::unique_ptr<websocket::stream<tcp::socket>> ws;
  websocket::response_type upgrade_answer; /* the server's answer to the last handshake */
  beast::flat_buffer buffer;
  std::string request;
  unsigned generation = 0;
  unsigned connections = 0;          /* connections that got as far as sending the watch */
  watch_clock::time_point opened_at;
  std::chrono::milliseconds next_delay = kRetryFirst;
  std::minstd_rand rng{std::random_device{}()};
  bool reading = false;              /* the open connection's read loop runs (no write in flight) */
  bool stopping = false;             /* Ctrl-C, or a refused watch: no reconnection */
  int status = 0;

  watcher(const options &opt, asio::io_context &io) : o(opt), ioc(io), request(watch_request(opt)) {}

  void start() {
    signals.async_wait([this](const beast::error_code &e, int) {
      if (!e) stop(0);
    });
    do_connect();
  }

  /* Ends the program: closes the connection normally when there is one. */
  void stop(int exit_status) {
    if (stopping) return;
    stopping = true;
    status = exit_status;
    signals.cancel();
    retry_timer.cancel();
    resolver.cancel();
    if (!ws) return;
    if (!ws->is_open() || !reading) {
      beast::error_code ignored;
      ws->next_layer().close(ignored);
      return;
    }
    /* The pending read completes with the server's answer to the close, or the stream's own timeout. */
    ws->async_close(websocket::close_code::normal, [](beast::error_code) {});
  }

  void do_connect() {
    unsigned gen = ++generation;
    reading = false;
    buffer.consume(buffer.size()); /* a frame cut off by the end of the last connection */
    ws = std::make_unique<websocket::stream<tcp::socket>>(ioc);
    websocket::stream_base::timeout t;
    t.handshake_timeout = std::chrono::seconds(10);
    /* A server that went silent (host gone, no FIN) is found by pings: no frame at all for 30 s. */
    t.idle_timeout = std::chrono::seconds(30);
    t.keep_alive_pings = true;
    ws->set_option(t);
    std::string token;
    if (!current_token(o, &token)) {
      fprintf(stderr, "vorn-watch: cannot read a token from %s\n", o.token_file.c_str());
      return stop(1);
    }
    ws->set_option(websocket::stream_base::decorator([token](websocket::request_type &r) {
      r.set(beast::http::field::sec_websocket_protocol, "vorn");
      if (!token.empty()) r.set(beast::http::field::authorization, "Bearer " + token);
    }));
    resolver.async_resolve(o.host, o.port, [this, gen](beast::error_code e, tcp::resolver::results_type r) {
      if (gen != generation || stopping) return;
      if (e) return ended("cannot resolve " + o.host + ": " + e.message(), false);
      asio::async_connect(ws->next_layer(), r, [this, gen](beast::error_code e, const tcp::endpoint &) {
        if (gen != generation || stopping) return;
        if (e) return ended("cannot connect to " + o.host + ":" + o.port + ": " + e.message(), false);
        upgrade_answer = {};
        ws->async_handshake(upgrade_answer, o.host + ":" + o.port, o.path, [this, gen](beast::error_code e) {
          if (gen != generation || stopping) return;
          if (e && upgrade_answer.result() == beast::http::status::unauthorized) {
            /* The same token would be refused again: a new one is needed. */
            std::string body = upgrade_answer.body();
            while (!body.empty() && body.back() == '\n') body.pop_back();
            fprintf(stderr, "vorn-watch: the server refused the token (401 %s)\n", body.c_str());
            return stop(1);
          }
          if (e)
            return ended("websocket handshake with " + o.host + ":" + o.port + " failed: " + e.message(),
                         false);
          ws->text(true);
          ws->async_write(asio::buffer(request), [this, gen](beast::error_code e, size_t) {
            if (gen != generation || stopping) return;
            if (e) return ended("cannot send the watch: " + e.message(), false);
            opened_at = watch_clock::now();
            if (connections++ > 0)
              fprintf(stderr, "vorn-watch: reconnected to %s:%s; watch sent again\n", o.host.c_str(),
                      o.port.c_str());
            do_read(gen);
          });
        });
      });
    });
  }

  void do_read(unsigned gen) {
    reading = true;
    ws->async_read(buffer, [this, gen](beast::error_code e, size_t) { on_read(gen, e); });
  }

  void on_read(unsigned gen, beast::error_code e) {
    if (gen != generation) return;
    if (e) {
      if (stopping) return;
      if (e == websocket::error::closed) {
        const websocket::close_reason &cr = ws->reason();
        std::string why = "server closed the connection with code " + std::to_string(cr.code);
        if (!cr.reason.empty()) why += " \"" + std::string(cr.reason.c_str()) + "\"";
        if (cr.code == websocket::close_code::try_again_later)
          why += ": this client did not read fast enough and frames were lost";
        return ended(why, true);
      }
      return ended("connection lost: " + e.message(), true);
    }
    std::string frame = beast::buffers_to_string(buffer.data());
    buffer.consume(buffer.size());
    json::error_code jec;
    json::value v = json::parse(frame, jec);
    const json::object *obj = !jec && v.is_object() ? &v.as_object() : nullptr;
    if (obj && obj->contains("error")) {
      std::string error = scalar_text(obj->at("error"));
      fprintf(stderr, "vorn-watch: error: %s\n", frame.c_str());
      if (is_refusal(error)) return stop(1);
    } else if (o.table && obj && obj->contains("check") && obj->at("check").is_object()) {
      printf("%s\n", table_line(obj->at("check").as_object()).c_str());
    } else {
      printf("%s\n", frame.c_str());
    }
    fflush(stdout);
    if (!stopping) do_read(gen);
  }

  /* The connection (or the attempt at one) is over: exit with --once, otherwise wait and retry. */
  void ended(const std::string &why, bool was_open) {
    reading = false;
    beast::error_code ignored;
    ws->next_layer().close(ignored);
    if (o.once) {
      fprintf(stderr, "vorn-watch: %s; exiting (--once)\n", why.c_str());
      stop(1);
      return;
    }
    if (was_open && watch_clock::now() - opened_at >= kRetryResetAfter) next_delay = kRetryFirst;
    /* Jitter spreads the reconnections of many clients that one server restart dropped together. */
    std::uniform_int_distribution<long> jitter(next_delay.count() / 2, next_delay.count());
    std::chrono::milliseconds wait{jitter(rng)};
    next_delay = std::min(next_delay * 2, kRetryCap);
    fprintf(stderr, "vorn-watch: %s; reconnecting in %.1f s\n", why.c_str(), (double) wait.count() / 1000.0);
    retry_timer.expires_after(wait);
    retry_timer.async_wait([this](const beast::error_code &e) {
      if (!e && !stopping) do_connect();
    });
  }
};

} // namespace

int main(int argc, char **argv) {
  options o;
  std::string url;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto next = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "--id") {
      const char *v = next();
      if (!v) return usage(argv[0]);
      o.id = v;
    } else if (a == "--period") {
      const char *v = next();
      char *end = nullptr;
      if (!v || (o.period = strtoll(v, &end, 10), *end != '\0') || o.period < 0) return usage(argv[0]);
    } else if (a == "--metric") {
      const char *v = next();
      if (!v) return usage(argv[0]);
      o.metrics.emplace_back(v);
    } else if (a == "--table") {
      o.table = true;
    } else if (a == "--once") {
      o.once = true;
    } else if (a == "--token" || a == "--token-file") {
      const char *v = next();
      if (!v || !o.token.empty() || !o.token_file.empty()) return usage(argv[0]);
      (a == "--token" ? o.token : o.token_file) = v;
    } else if (url.empty() && a.rfind("--", 0) != 0) {
      url = a;
    } else {
      return usage(argv[0]);
    }
  }
  if (url.empty() || o.id.empty() || !parse_url(url, o)) return usage(argv[0]);

  asio::io_context ioc;
  watcher w(o, ioc);
  w.start();
  ioc.run();
  return w.status;
}
