/* vorn-watch: a command-line client of the watch protocol. Sends one watch, prints every frame as one
 * line (or a compact table) until Ctrl-C, and reports error frames on stderr; a refused watch ends
 * the program with status 1. */
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json.hpp>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace json = boost::json;
using tcp = asio::ip::tcp;

namespace {

struct options {
  std::string host, port = "80", path = "/", id;
  long long period = 0;
  std::vector<std::string> metrics;
  bool table = false;
};

int usage(const char *prog) {
  fprintf(stderr,
          "usage: %s ws://host:port/ --id UUID [--period MS] [--metric NAME]... [--table]\n"
          "  Watches one check and prints each frame as one line; Ctrl-C ends.\n",
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
    } else if (url.empty() && a.rfind("--", 0) != 0) {
      url = a;
    } else {
      return usage(argv[0]);
    }
  }
  if (url.empty() || o.id.empty() || !parse_url(url, o)) return usage(argv[0]);

  asio::io_context ioc;
  beast::websocket::stream<tcp::socket> ws(ioc);
  beast::error_code ec;
  tcp::resolver resolver(ioc);
  auto endpoints = resolver.resolve(o.host, o.port, ec);
  if (!ec) asio::connect(ws.next_layer(), endpoints, ec);
  if (ec) {
    fprintf(stderr, "vorn-watch: cannot connect to %s:%s: %s\n", o.host.c_str(), o.port.c_str(), ec.message().c_str());
    return 1;
  }
  ws.set_option(beast::websocket::stream_base::decorator([](beast::websocket::request_type &r) {
    r.set(beast::http::field::sec_websocket_protocol, "vorn");
  }));
  ws.handshake(o.host + ":" + o.port, o.path, ec);
  if (ec) {
    fprintf(stderr, "vorn-watch: websocket handshake failed: %s\n", ec.message().c_str());
    return 1;
  }

  json::object entry{{"id", o.id}};
  if (o.period) entry["period"] = o.period;
  if (!o.metrics.empty()) {
    json::array names;
    for (auto &m : o.metrics) names.emplace_back(m);
    entry["metrics"] = std::move(names);
  }
  json::object request{{"watch", json::array{entry}}};
  ws.text(true);
  ws.write(asio::buffer(json::serialize(request)), ec);
  if (ec) {
    fprintf(stderr, "vorn-watch: cannot send the watch: %s\n", ec.message().c_str());
    return 1;
  }

  int status = 0;
  bool interrupted = false;
  asio::signal_set signals(ioc, SIGINT, SIGTERM);
  signals.async_wait([&](const beast::error_code &e, int) {
    if (e) return;
    interrupted = true;
    beast::error_code ignored;
    ws.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
    ws.next_layer().close(ignored);
  });

  beast::flat_buffer buffer;
  std::function<void(beast::error_code, size_t)> on_read = [&](beast::error_code e, size_t) {
    if (e) {
      if (!interrupted) {
        fprintf(stderr, "vorn-watch: connection ended: %s\n", e.message().c_str());
        status = 1;
      }
      signals.cancel();
      return;
    }
    std::string frame = beast::buffers_to_string(buffer.data());
    buffer.consume(buffer.size());
    json::error_code jec;
    json::value v = json::parse(frame, jec);
    const json::object *obj = !jec && v.is_object() ? &v.as_object() : nullptr;
    if (obj && obj->contains("error")) {
      std::string error = scalar_text(obj->at("error"));
      fprintf(stderr, "vorn-watch: error: %s\n", frame.c_str());
      if (is_refusal(error)) {
        status = 1;
        signals.cancel();
        beast::error_code ignored;
        ws.next_layer().close(ignored);
        return;
      }
    } else if (o.table && obj && obj->contains("check") && obj->at("check").is_object()) {
      printf("%s\n", table_line(obj->at("check").as_object()).c_str());
    } else {
      printf("%s\n", frame.c_str());
    }
    fflush(stdout);
    ws.async_read(buffer, on_read);
  };
  ws.async_read(buffer, on_read);
  ioc.run();
  return status;
}
