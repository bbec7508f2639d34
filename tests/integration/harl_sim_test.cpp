/* The broker simulator as a broker's client sees it: subscriptions with and without a metrics
 * list, replacement of a subscription, the frame layout, heartbeats, TLS, and the switches that
 * make it close, refuse or send broken frames. */
#include "support/harl_sim_fixture.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <optional>
#include <set>

namespace {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
namespace json = boost::json;
using tcp = net::ip::tcp;

const char *kCheckA = "0b1c4c2e-2d0a-4f8e-9a57-2b8f6d1c9e01";
const char *kCheckB = "7f3e9d11-6c2b-4a1f-8e0d-5c4b3a291807";

/* A broker client over Stream (plain or TLS). Every wait is bounded. */
template <class Stream>
struct SimClient {
  net::io_context io;
  std::optional<websocket::stream<Stream>> ws;
  beast::flat_buffer buf;
  websocket::response_type response;  // the upgrade's answer
  bool closed_by_peer = false;

  /* Runs the io_context until done or the timeout; false on timeout (the operation is cancelled). */
  bool run(const bool &done, std::chrono::milliseconds timeout) {
    io.restart();
    io.run_for(timeout);
    if (!done) {
      beast::get_lowest_layer(*ws).cancel();
      io.restart();
      io.run_for(std::chrono::seconds(5));
    }
    return done;
  }

  /* Connects and upgrades; the error code of the first failing step, or none. */
  template <class... Args>
  beast::error_code open(int port, const std::string &target, const std::string &protocol,
                         Args &&...args) {
    ws.emplace(io, std::forward<Args>(args)...);
    beast::error_code result;
    bool done = false;
    beast::get_lowest_layer(*ws).async_connect(
        tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)),
        [&](beast::error_code ec) {
          result = ec;
          done = true;
        });
    if (!run(done, std::chrono::seconds(10)) || result) return result ? result : net::error::timed_out;
    if constexpr (std::is_same_v<Stream, beast::ssl_stream<beast::tcp_stream>>) {
      SSL_set_tlsext_host_name(ws->next_layer().native_handle(), "127.0.0.1");
      done = false;
      ws->next_layer().async_handshake(ssl::stream_base::client, [&](beast::error_code ec) {
        result = ec;
        done = true;
      });
      if (!run(done, std::chrono::seconds(10)) || result)
        return result ? result : net::error::timed_out;
    }
    if (!protocol.empty())
      ws->set_option(websocket::stream_base::decorator([protocol](websocket::request_type &req) {
        req.set(beast::http::field::sec_websocket_protocol, protocol);
      }));
    done = false;
    ws->async_handshake(response, "127.0.0.1", target, [&](beast::error_code ec) {
      result = ec;
      done = true;
    });
    if (!run(done, std::chrono::seconds(10))) return net::error::timed_out;
    return result;
  }

  bool send(const std::string &text) {
    bool done = false;
    beast::error_code result;
    ws->async_write(net::buffer(text), [&](beast::error_code ec, size_t) {
      result = ec;
      done = true;
    });
    return run(done, std::chrono::seconds(10)) && !result;
  }

  /* The next text frame, or nullopt on timeout or close (closed_by_peer tells which). */
  std::optional<std::string> read(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    bool done = false;
    beast::error_code result;
    ws->async_read(buf, [&](beast::error_code ec, size_t) {
      result = ec;
      done = true;
    });
    if (!run(done, timeout)) return std::nullopt;
    if (result) {
      closed_by_peer = result == websocket::error::closed;
      return std::nullopt;
    }
    std::string s = beast::buffers_to_string(buf.data());
    buf.consume(buf.size());
    return s;
  }

  /* The next parsed frame that satisfies pred, skipping others; nullopt when none comes. */
  std::optional<json::object> read_until(const std::function<bool(const json::object &)> &pred,
                                         int max_frames = 200) {
    for (int i = 0; i < max_frames; i++) {
      auto text = read();
      if (!text) return std::nullopt;
      boost::system::error_code ec;
      json::value v = json::parse(*text, ec);
      if (!ec && v.is_object() && pred(v.as_object())) return v.as_object();
    }
    return std::nullopt;
  }
};
using PlainClient = SimClient<beast::tcp_stream>;

std::string request(const char *uuid, int period, std::optional<std::vector<std::string>> metrics) {
  json::object o{{"check_uuid", uuid}, {"period_ms", period}};
  if (metrics) {
    json::array a;
    for (auto &m : *metrics) a.emplace_back(m);
    o["metrics"] = std::move(a);
  }
  return json::serialize(o);
}

bool is_type(const json::object &o, const char *t) {
  return o.if_contains("type") && o.at("type").is_string() && o.at("type").as_string() == t;
}

/* The name of the frame's metric member: the one that is not part of the envelope. */
std::string metric_of(const json::object &o) {
  static const std::set<std::string> envelope = {"type", "check_uuid", "timestamp_ms", "value_type",
                                                 "stream_tags"};
  for (const auto &kv : o)
    if (!envelope.count(std::string(kv.key()))) return std::string(kv.key());
  return "";
}

class HarlSimTest : public ::testing::Test {
 protected:
  vorn_test::HarlSim sim;
  void start(std::vector<std::string> extra) {
    std::string err;
    ASSERT_TRUE(sim.start(extra, &err)) << err;
  }
};

// Without "metrics" every catalog metric arrives each period, "M" frames in the documented member
// order and an "H" frame whose value is an array of bucket/count objects; heartbeats come too, and
// the request is in the event log.
TEST_F(HarlSimTest, SubscriptionWithoutMetricsSendsEveryMetricAndHeartbeats) {
  start({"--heartbeat-ms", "50"});
  PlainClient c;
  ASSERT_FALSE(c.open(sim.port(), "/livestream/", "harl_livestream"));
  EXPECT_EQ("harl_livestream", c.response[beast::http::field::sec_websocket_protocol]);
  ASSERT_TRUE(c.send(request(kCheckA, 30, std::nullopt)));

  std::set<std::string> seen;
  bool heartbeat = false;
  for (int i = 0; i < 100 && (seen.size() < 4 || !heartbeat); i++) {
    auto text = c.read();
    ASSERT_TRUE(text);
    json::object o = json::parse(*text).as_object();
    if (is_type(o, "heartbeat")) {
      heartbeat = true;
      EXPECT_EQ(1u, o.size());
      continue;
    }
    std::vector<std::string> keys;
    for (const auto &kv : o) keys.emplace_back(kv.key());
    ASSERT_EQ(6u, keys.size()) << *text;
    EXPECT_EQ((std::vector<std::string>{"type", "check_uuid", "timestamp_ms", "value_type",
                                        "stream_tags", metric_of(o)}),
              keys);
    EXPECT_EQ(kCheckA, o.at("check_uuid").as_string());
    EXPECT_TRUE(o.at("timestamp_ms").is_uint64() || o.at("timestamp_ms").is_int64());
    std::string m = metric_of(o);
    seen.insert(m);
    if (m == "latency") {
      EXPECT_TRUE(is_type(o, "H"));
      const json::array &h = o.at(m).as_array();
      ASSERT_EQ(2u, h.size());
      EXPECT_TRUE(h[0].as_object().at("bucket").is_number());
      EXPECT_TRUE(h[0].as_object().at("count").is_number());
    } else {
      EXPECT_TRUE(is_type(o, "M"));
    }
  }
  EXPECT_EQ((std::set<std::string>{"cpu", "mem", "state", "latency"}), seen);
  EXPECT_TRUE(heartbeat);
  auto ev = sim.wait_event([](const json::object &e) { return vorn_test::event_is(e, "request"); });
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ(kCheckA, ev.at("request").as_object().at("check_uuid").as_string());
}

// A "metrics" list narrows the frames to those names (unknown names served as numbers); a new
// request replaces the subscription: after the first frame of the new check no old one follows.
TEST_F(HarlSimTest, MetricsListAndReplacedSubscription) {
  start({"--heartbeat-ms", "0"});
  PlainClient c;
  ASSERT_FALSE(c.open(sim.port(), "/livestream/", "harl_livestream"));
  ASSERT_TRUE(c.send(request(kCheckA, 20, std::vector<std::string>{"cpu"})));
  for (int i = 0; i < 5; i++) {
    auto o = c.read_until([](const json::object &) { return true; });
    ASSERT_TRUE(o);
    EXPECT_EQ("cpu", metric_of(*o));
    EXPECT_EQ(kCheckA, o->at("check_uuid").as_string());
  }
  ASSERT_TRUE(c.send(request(kCheckB, 20, std::vector<std::string>{"latency", "disk_free"})));
  auto first_b = c.read_until(
      [](const json::object &o) { return o.at("check_uuid").as_string() == kCheckB; });
  ASSERT_TRUE(first_b);
  std::set<std::string> names;
  names.insert(metric_of(*first_b));
  for (int i = 0; i < 8; i++) {
    auto o = c.read_until([](const json::object &) { return true; });
    ASSERT_TRUE(o);
    EXPECT_EQ(kCheckB, o->at("check_uuid").as_string());
    std::string m = metric_of(*o);
    names.insert(m);
    EXPECT_TRUE(is_type(*o, m == "latency" ? "H" : "M"));
    if (m == "disk_free") {
      EXPECT_TRUE(o->at(m).is_number());
    }
  }
  EXPECT_EQ((std::set<std::string>{"latency", "disk_free"}), names);
  EXPECT_EQ(2u, sim.count_events("request"));
}

// The catalog option gives string, object, null and integer values of those JSON types.
TEST_F(HarlSimTest, ValueKindsFromCatalog) {
  start({"--heartbeat-ms", "0", "--metrics", "s:s,o:o,z:z,i:i"});
  PlainClient c;
  ASSERT_FALSE(c.open(sim.port(), "/livestream/", "harl_livestream"));
  ASSERT_TRUE(c.send(request(kCheckA, 20, std::nullopt)));
  std::set<std::string> seen;
  for (int i = 0; i < 8; i++) {
    auto o = c.read_until([](const json::object &) { return true; });
    ASSERT_TRUE(o);
    std::string m = metric_of(*o);
    seen.insert(m);
    const json::value &v = o->at(m);
    bool right_kind = (m == "s" && v.is_string()) || (m == "o" && v.is_object()) ||
                      (m == "z" && v.is_null()) || (m == "i" && (v.is_int64() || v.is_uint64()));
    EXPECT_TRUE(right_kind) << m << " = " << json::serialize(v);
  }
  EXPECT_EQ((std::set<std::string>{"s", "o", "z", "i"}), seen);
}

// Bad requests are logged and ignored without closing the connection; a later good one works.
TEST_F(HarlSimTest, BadRequestsAreIgnored) {
  start({"--heartbeat-ms", "0"});
  PlainClient c;
  ASSERT_FALSE(c.open(sim.port(), "/livestream/", "harl_livestream"));
  for (std::string bad : {std::string("garbage"), std::string("[1]"),
                          std::string("{\"check_uuid\":5,\"period_ms\":10}"),
                          std::string("{\"check_uuid\":\"x\",\"period_ms\":-1}"),
                          std::string("{\"check_uuid\":\"x\",\"period_ms\":0}"),
                          std::string("{\"check_uuid\":\"x\",\"period_ms\":10,\"metrics\":[1]}")})
    ASSERT_TRUE(c.send(bad));
  ASSERT_FALSE(sim.wait_event([&](const json::object &) { return sim.count_events("bad_request") == 6; })
                   .empty());
  // No heartbeats here, so a bad request taken as a subscription would show up before this one.
  ASSERT_TRUE(c.send(request(kCheckA, 20, std::vector<std::string>{"mem"})));
  auto o = c.read_until([](const json::object &) { return true; });
  ASSERT_TRUE(o);
  EXPECT_EQ("mem", metric_of(*o));
  EXPECT_EQ(kCheckA, o->at("check_uuid").as_string());
}

// --close-after N closes each connection after N sample frames with a normal close.
TEST_F(HarlSimTest, CloseAfterFrames) {
  start({"--heartbeat-ms", "0", "--close-after", "3"});
  PlainClient c;
  ASSERT_FALSE(c.open(sim.port(), "/livestream/", "harl_livestream"));
  ASSERT_TRUE(c.send(request(kCheckA, 20, std::nullopt)));
  int frames = 0;
  while (c.read()) frames++;
  EXPECT_TRUE(c.closed_by_peer);
  EXPECT_EQ(3, frames);
  auto ev = sim.wait_event([](const json::object &e) { return vorn_test::event_is(e, "close"); });
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ("sim", ev.at("by").as_string());
}

// Upgrades are refused with --refuse, on another path, and without the sub-protocol.
TEST_F(HarlSimTest, RefusedUpgrades) {
  {
    vorn_test::HarlSim refusing;
    std::string err;
    ASSERT_TRUE(refusing.start({"--refuse"}, &err)) << err;
    PlainClient c;
    EXPECT_TRUE(c.open(refusing.port(), "/livestream/", "harl_livestream"));
    EXPECT_FALSE(refusing.wait_event([](const json::object &e) { return vorn_test::event_is(e, "refused"); })
                     .empty());
  }
  start({});
  PlainClient wrong_path, no_protocol;
  EXPECT_TRUE(wrong_path.open(sim.port(), "/other/", "harl_livestream"));
  EXPECT_TRUE(no_protocol.open(sim.port(), "/livestream/", ""));
  EXPECT_EQ(0u, sim.count_events("connect"));
}

// --malformed sends the broken frames (not JSON, no type, bad check_uuid, bad histograms) before
// each batch, and the well-formed samples still follow.
TEST_F(HarlSimTest, MalformedFrames) {
  start({"--heartbeat-ms", "0", "--malformed"});
  PlainClient c;
  ASSERT_FALSE(c.open(sim.port(), "/livestream/", "harl_livestream"));
  ASSERT_TRUE(c.send(request(kCheckA, 50, std::vector<std::string>{"cpu"})));
  int unparsable = 0, untyped = 0, good = 0;
  for (int i = 0; i < 9; i++) {
    auto text = c.read();
    ASSERT_TRUE(text);
    boost::system::error_code ec;
    json::value v = json::parse(*text, ec);
    if (ec) {
      unparsable++;
    } else if (!v.as_object().if_contains("type")) {
      untyped++;
    } else if (is_type(v.as_object(), "M") && v.as_object().if_contains("check_uuid") &&
               v.as_object().at("check_uuid").is_string() && metric_of(v.as_object()) == "cpu") {
      good++;
    }
  }
  EXPECT_EQ(1, unparsable);
  EXPECT_EQ(1, untyped);
  EXPECT_EQ(1, good);
}

// Several connections serve several checks at once, and SIGTERM ends the simulator with status 0
// while they are open.
TEST_F(HarlSimTest, SeveralChecksAndCleanStop) {
  start({"--heartbeat-ms", "0"});
  PlainClient a, b;
  ASSERT_FALSE(a.open(sim.port(), "/livestream/", "harl_livestream"));
  ASSERT_FALSE(b.open(sim.port(), "/livestream/", "harl_livestream"));
  ASSERT_TRUE(a.send(request(kCheckA, 20, std::vector<std::string>{"cpu"})));
  ASSERT_TRUE(b.send(request(kCheckB, 20, std::vector<std::string>{"mem"})));
  auto fa = a.read_until([](const json::object &) { return true; });
  auto fb = b.read_until([](const json::object &) { return true; });
  ASSERT_TRUE(fa && fb);
  EXPECT_EQ(kCheckA, fa->at("check_uuid").as_string());
  EXPECT_EQ(kCheckB, fb->at("check_uuid").as_string());
  EXPECT_EQ(0, sim.stop());
}

// Bad options are refused with status 2, and a TLS simulator serves a client that verifies it.
TEST(HarlSim, OptionsAndTls) {
  vorn_test::HarlSim bad;
  std::string err;
  EXPECT_FALSE(bad.start({"--heartbeat-ms", "-5"}, &err));

  vorn_test::TempDir dir;
  std::string cert, key;
  ASSERT_TRUE(vorn_test::make_test_certificate(dir.path(), &cert, &key));
  vorn_test::HarlSim sim;
  ASSERT_TRUE(sim.start({"--tls-cert", cert, "--tls-key", key, "--heartbeat-ms", "0"}, &err)) << err;
  ssl::context ctx(ssl::context::tls_client);
  ctx.load_verify_file(cert);
  ctx.set_verify_mode(ssl::verify_peer);
  SimClient<beast::ssl_stream<beast::tcp_stream>> c;
  ASSERT_FALSE(c.open(sim.port(), "/livestream/", "harl_livestream", ctx));
  ASSERT_TRUE(c.send(request(kCheckA, 20, std::vector<std::string>{"latency"})));
  auto o = c.read_until([](const json::object &) { return true; });
  ASSERT_TRUE(o);
  EXPECT_TRUE(is_type(*o, "H"));

  // A plain client gets nowhere with a TLS simulator.
  PlainClient plain;
  EXPECT_TRUE(plain.open(sim.port(), "/livestream/", "harl_livestream"));
}

}  // namespace
