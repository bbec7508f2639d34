/* End-to-end tests through real processes: the service, PostgreSQL, nats-server, broker simulators,
 * websocket and HTTP clients and the watch tool. One stack serves every test of this program; each
 * test leaves no watch behind, which the gauges in the statistics tree prove. */
#include "e2e_support.h"

#include <cstring>
#include <mutex>
#include <set>

namespace {

using e2e::kBrokerCheck;
using e2e::kBusCheck;
using e2e::kClosingCheck;
using e2e::kDeadCheck;
using e2e::kOtherBusCheck;
using e2e::kUnknownCheck;
using e2e::stat;
using e2e::WsClient;
using e2e::data_of;
using e2e::error_frame;
using e2e::kHeartbeat;
namespace json = boost::json;

e2e::Stack *const the_stack = e2e::stack();

bool is_data(const std::string &frame, const std::string &id, const std::string &metric) {
  auto c = data_of(frame);
  return c && c->if_contains("id") && c->at("id") == id.c_str() && c->if_contains("metric_name") &&
         c->at("metric_name") == metric.c_str();
}

/* Waits until the gauges and the broker connections are back to zero and the error total is
 * the sum of the other error counters: what every test leaves behind. */
void expect_quiet() {
  json::value last;
  bool quiet = e2e::wait_until([&] {
    last = the_stack->stats();
    return stat(last, {"websocket", "watches", "check"}) == 0 &&
           stat(last, {"websocket", "watches", "stream"}) == 0 &&
           stat(last, {"agents", "global", "connections"}) == 0 &&
           stat(last, {"errors", "total"}) == e2e::error_sum(last);
  });
  EXPECT_TRUE(quiet) << json::serialize(last);
  EXPECT_EQ(0, stat(last, {"errors", "client"}));
}

std::string plain_line(const std::string &check, const std::string &metric, const std::string &value,
                       const std::string &time) {
  return "M\te2e-broker-01\t" + time + "\t" + check + "\t" + metric + "\tn\t" + value;
}

// Heartbeats get the fixed reply (also for a type that only begins with "heartbeat", in a binary
// frame, or with a watch list beside it, which is then ignored); every message and every GET of
// the statistics counts in "requests".
TEST(E2e, HeartbeatAndRequestCounting) {
  E2E_REQUIRE_STACK();
  WsClient c;
  ASSERT_TRUE(c.open(the_stack->port));
  int64_t before = stat(the_stack->stats(), {"requests"});
  EXPECT_EQ(kHeartbeat, c.ask(kHeartbeat));
  EXPECT_EQ(kHeartbeat, c.ask("{\"type\":\"heartbeats\"}"));
  EXPECT_EQ(kHeartbeat, c.ask(kHeartbeat, true));
  EXPECT_EQ(kHeartbeat, c.ask("{\"type\":\"heartbeat\",\"watch\":[{\"id\":\"" + kBusCheck + "\"}]}"));
  json::value s = the_stack->stats();
  EXPECT_EQ(before + 4 + 1, stat(s, {"requests"}));
  EXPECT_EQ(0, stat(s, {"websocket", "watches", "check"}));
  EXPECT_EQ(before + 4 + 2, stat(the_stack->stats(), {"requests"}));
  c.close();
  expect_quiet();
}

// Every malformed request gets its own error frame with request kind "neither", is counted once
// in "errors"/"api" and changes nothing; a message that is not JSON also ends the session.
TEST(E2e, MalformedRequestsAreRefused) {
  E2E_REQUIRE_STACK();
  WsClient c;
  ASSERT_TRUE(c.open(the_stack->port));
  int64_t api = stat(the_stack->stats(), {"errors", "api"});
  const std::string neither = "neither 'watch' nor 'unwatch' found in request";
  struct {
    std::string request, error;
  } cases[] = {
      {"{}", neither},
      {"{\"type\":\"status\"}", neither},
      {"{\"watch\":null,\"unwatch\":null}", neither},
      {"null", "request is not a JSON object"},
      {"[{\"id\":\"" + kBusCheck + "\"}]", "request is not a JSON object"},
      {"\"watch\"", "request is not a JSON object"},
      {"{\"watch\":{\"id\":\"" + kBusCheck + "\"}}", "'watch' is not an array"},
      {"{\"watch\":\"" + kBusCheck + "\"}", "'watch' is not an array"},
      // A refused shape anywhere refuses the whole message: the valid unwatch list is not handled.
      {"{\"unwatch\":[],\"watch\":5}", "'watch' is not an array"},
      {"{\"unwatch\":true,\"watch\":[{\"id\":\"" + kBusCheck + "\"}]}", "'unwatch' is not an array"},
  };
  for (const auto &tc : cases) {
    EXPECT_EQ(error_frame(tc.error, "neither"), c.ask(tc.request)) << tc.request;
  }
  json::value s = the_stack->stats();
  EXPECT_EQ(api + (int64_t) std::size(cases), stat(s, {"errors", "api"}));
  EXPECT_EQ(0, stat(s, {"websocket", "watches", "check"}));
  EXPECT_EQ(stat(s, {"errors", "total"}), e2e::error_sum(s));

  // An incomplete text: error frame, then the server closes the session.
  EXPECT_EQ(error_frame("Unable to parse incoming json", "neither"), c.ask("{"));
  EXPECT_FALSE(c.read().has_value());
  EXPECT_EQ(e2e::websocket::close_code::policy_error, c.ws.reason().code);
  EXPECT_EQ(api + (int64_t) std::size(cases) + 1, stat(the_stack->stats(), {"errors", "api"}));
  /* The log has its own writer thread: the line arrives shortly after the answer. */
  EXPECT_TRUE(e2e::wait_until([&] { return the_stack->log().find("Unable to parse incoming json") != std::string::npos; }));

  // A session whose first message fails to parse has nothing to undo.
  WsClient d;
  ASSERT_TRUE(d.open(the_stack->port));
  EXPECT_EQ(error_frame("Unable to parse incoming json", "neither"), d.ask("{\"watch\":[tru"));
  expect_quiet();
}

// Bad entries are refused one by one with the entry's JSON text in the message; the good entries
// of the same message are still handled, and each refusal counts once. An id with a NUL inside is
// not an id text, although its first 36 characters would name a stream.
TEST(E2e, BadEntriesAreRefusedOneByOne) {
  E2E_REQUIRE_STACK();
  WsClient c;
  ASSERT_TRUE(c.open(the_stack->port));
  int64_t api = stat(the_stack->stats(), {"errors", "api"});
  const std::string nul_id = "{\"id\":\"" + kBusCheck + "\\u0000junk\"}";
  ASSERT_TRUE(c.send("{\"watch\":[{\"period\":5},7,null,{\"id\":12}," + nul_id + ",{\"id\":\"" + kBusCheck +
                     "\",\"metrics\":\"cpu\"},{\"id\":\"" + kBusCheck + "\",\"metrics\":[\"cpu\",null]},{\"id\":\"" +
                     kBusCheck + "\"}],\"unwatch\":[{},\"x\",{\"id\":[]}," + nul_id + "]}"));
  std::vector<std::string> frames = c.drain();
  std::vector<std::string> expected = {
      // unwatch entries first
      error_frame("no uuid found in unwatch request ({})", "unwatch"),
      error_frame("invalid unwatch request: entry is not an object (\"x\")", "unwatch"),
      error_frame("invalid unwatch request: 'id' is not a string ({\"id\":[]})", "unwatch"),
      error_frame("invalid unwatch request: 'id' is not a string (" + nul_id + ")", "unwatch"),
      error_frame("no uuid found in watch request ({\"period\":5})", "watch"),
      error_frame("invalid watch request: entry is not an object (7)", "watch"),
      error_frame("invalid watch request: entry is not an object (null)", "watch"),
      error_frame("invalid watch request: 'id' is not a string ({\"id\":12})", "watch"),
      error_frame("invalid watch request: 'id' is not a string (" + nul_id + ")", "watch"),
      error_frame("invalid watch request: 'metrics' is not an array of strings ({\"id\":\"" + kBusCheck +
                      "\",\"metrics\":\"cpu\"})",
                  "watch"),
      error_frame("invalid watch request: 'metrics' is not an array of strings ({\"id\":\"" + kBusCheck +
                      "\",\"metrics\":[\"cpu\",null]})",
                  "watch"),
  };
  EXPECT_EQ(expected, frames);
  json::value s = the_stack->stats();
  EXPECT_EQ(api + (int64_t) expected.size(), stat(s, {"errors", "api"}));
  EXPECT_EQ(1, stat(s, {"websocket", "watches", "check"})) << "the good entry was not handled";

  // Ids that cannot name a bus stream are refused by the bus side, with the id, and counted there.
  int64_t pask = stat(s, {"errors", "pask"});
  ASSERT_TRUE(c.send("{\"watch\":[{\"id\":\"not-a-uuid\"},{\"id\":\"\"}]}"));
  frames = c.drain();
  EXPECT_EQ((std::vector<std::string>{error_frame("pask watch request failed", "watch", "not-a-uuid"),
                                      error_frame("pask watch request failed", "watch", "")}),
            frames);
  s = the_stack->stats();
  EXPECT_EQ(pask + 2, stat(s, {"errors", "pask"}));
  EXPECT_EQ(api + (int64_t) expected.size(), stat(s, {"errors", "api"}));
  c.close();
  expect_quiet();
}

// Watch, re-watch, unwatch and session end move the two gauges exactly as far as they should:
// unwatch before watch in one message, silent unwatch of what is not watched, an unwatch with
// period 0 ending only the bus side of a watch with a period, and the session end undoing the rest.
TEST(E2e, WatchListAndGauges) {
  E2E_REQUIRE_STACK();
  WsClient c;
  ASSERT_TRUE(c.open(the_stack->port));
  auto gauges = [&] {
    json::value s = the_stack->stats();
    return std::make_pair(stat(s, {"websocket", "watches", "check"}), stat(s, {"websocket", "watches", "stream"}));
  };
  const std::string w = "{\"id\":\"" + kBusCheck + "\"}";
  EXPECT_TRUE(c.drain().empty()) << "an empty watch list";
  ASSERT_TRUE(c.send("{\"watch\":[]}"));
  EXPECT_TRUE(c.drain().empty());
  ASSERT_TRUE(c.send("{\"watch\":[" + w + "]}"));
  ASSERT_TRUE(c.send("{\"watch\":[" + w + "]}"));
  EXPECT_TRUE(c.drain().empty());
  EXPECT_EQ(std::make_pair(int64_t(1), int64_t(0)), gauges());
  ASSERT_TRUE(c.send("{\"unwatch\":[" + w + "]}"));
  EXPECT_TRUE(c.drain().empty());
  EXPECT_EQ(std::make_pair(int64_t(0), int64_t(0)), gauges());
  ASSERT_TRUE(c.send("{\"unwatch\":[" + w + ",{\"id\":\"" + kOtherBusCheck + "\",\"period\":500}]}"));
  EXPECT_TRUE(c.drain().empty()) << "unwatching what is not watched is silent";
  // "watch" written first in the text, "unwatch" handled first: the stream stays watched.
  ASSERT_TRUE(c.send("{\"watch\":[" + w + "],\"unwatch\":[" + w + "]}"));
  EXPECT_TRUE(c.drain().empty());
  EXPECT_EQ(std::make_pair(int64_t(1), int64_t(0)), gauges());

  // A watch with a period holds a bus record and a broker record.
  const std::string p = "{\"id\":\"" + kBrokerCheck + "\",\"period\":60000}";
  ASSERT_TRUE(c.send("{\"watch\":[" + p + "]}"));
  EXPECT_TRUE(e2e::wait_until([&] { return gauges() == std::make_pair(int64_t(2), int64_t(1)); }))
      << gauges().first << "/" << gauges().second;
  ASSERT_TRUE(c.send("{\"unwatch\":[{\"id\":\"" + kBrokerCheck + "\"}]}"));
  c.drain();
  EXPECT_EQ(std::make_pair(int64_t(1), int64_t(1)), gauges()) << "period 0 ends only the bus side";

  // A second session of the same streams counts on its own.
  WsClient d;
  ASSERT_TRUE(d.open(the_stack->port));
  ASSERT_TRUE(d.send("{\"watch\":[" + w + "," + p + "]}"));
  EXPECT_TRUE(e2e::wait_until([&] { return gauges() == std::make_pair(int64_t(3), int64_t(2)); }));
  d.close();
  EXPECT_TRUE(e2e::wait_until([&] { return gauges() == std::make_pair(int64_t(1), int64_t(1)); }));
  c.close();
  expect_quiet();
}

// Bus samples (plain, histogram and bundled lines) reach exactly the sessions whose watch and
// filter admit them, once per session, in the client data message format; repeated payloads and
// other checks reach nobody.
TEST(E2e, BusSamplesReachTheRightWatchers) {
  E2E_REQUIRE_STACK();
  WsClient all, cpu_only, other;
  ASSERT_TRUE(all.open(the_stack->port));
  ASSERT_TRUE(cpu_only.open(the_stack->port));
  ASSERT_TRUE(other.open(the_stack->port));
  ASSERT_TRUE(all.send("{\"watch\":[{\"id\":\"" + kBusCheck + "\",\"metrics\":[]}]}"));
  ASSERT_TRUE(cpu_only.send("{\"watch\":[{\"id\":\"" + kBusCheck + "\",\"metrics\":[\"cpu\",\"disk\"]}]}"));
  ASSERT_TRUE(other.send("{\"watch\":[{\"id\":\"" + kOtherBusCheck + "\"}]}"));
  for (WsClient *c : {&all, &cpu_only, &other}) EXPECT_TRUE(c->drain().empty());

  std::string t1 = the_stack->unique_time();
  std::string mem = plain_line(kBusCheck, "mem", "1.5", t1) + "\n";
  ASSERT_TRUE(the_stack->publish(mem));
  ASSERT_TRUE(the_stack->publish(mem)); /* a repeated payload is dropped */
  std::string upper = kBusCheck;
  for (char &ch : upper) ch = (char) toupper((unsigned char) ch);
  std::string t2 = the_stack->unique_time();
  ASSERT_TRUE(the_stack->publish(plain_line(upper, "cpu", "12.5", t2) + "\n"));
  std::string t3 = the_stack->unique_time();
  ASSERT_TRUE(the_stack->publish("H\te2e-broker-01\t" + t3 + "\t" + kBusCheck +
                                 "\tlatency\tAAIy/wAAAAAAAAADCgEAAAAAAAAAAQ==\n"));
  std::string t4 = the_stack->unique_time();
  ASSERT_TRUE(the_stack->publish(e2e::bundle({plain_line(kBusCheck, "cpu", "7", t4),
                                              "M\te2e-broker-01\t" + t4 + "\t" + kBusCheck + "\tstate\ts\tall\tfine",
                                              plain_line(kOtherBusCheck, "cpu", "8", t4)},
                                             t4)));

  // The whole-check watcher sees five samples: mem once, cpu, latency and the two bundled lines.
  std::vector<json::object> seen;
  while (seen.size() < 5) {
    auto f = all.read();
    ASSERT_TRUE(f) << "after " << seen.size() << " samples: " << all.last_error.message();
    auto d = data_of(*f);
    ASSERT_TRUE(d) << *f;
    seen.push_back(*d);
  }
  auto find = [&](const char *metric) -> const json::object * {
    for (const auto &o : seen)
      if (o.at("metric_name") == metric && o.at("id") == kBusCheck.c_str()) return &o;
    return nullptr;
  };
  ASSERT_TRUE(find("mem") && find("cpu") && find("latency") && find("state"));
  EXPECT_EQ("M", find("mem")->at("type"));
  EXPECT_DOUBLE_EQ(1.5, find("mem")->at("value").to_number<double>());
  EXPECT_DOUBLE_EQ(std::stod(t1), find("mem")->at("time").to_number<double>());
  EXPECT_EQ("H1", find("latency")->at("type"));
  EXPECT_EQ(json::value({{"0.500000", 3}, {"10.000000", 1}}), find("latency")->at("histogram"));
  EXPECT_EQ("all\tfine", find("state")->at("value"));
  int cpus = 0;
  for (const auto &o : seen) cpus += o.at("metric_name") == "cpu";
  EXPECT_EQ(2, cpus);
  EXPECT_TRUE(all.drain().empty()) << "the repeated payload arrived twice";

  // The filtered watcher sees only the two cpu samples; the other check's watcher the bundled one.
  std::vector<std::string> skipped;
  for (int i = 0; i < 2; i++)
    EXPECT_TRUE(cpu_only.read_until([](const std::string &f) { return is_data(f, kBusCheck, "cpu"); }, &skipped));
  for (const std::string &f : cpu_only.drain()) skipped.push_back(f);
  EXPECT_TRUE(skipped.empty()) << skipped.front();
  auto o = other.read();
  ASSERT_TRUE(o);
  EXPECT_TRUE(is_data(*o, kOtherBusCheck, "cpu")) << *o;
  EXPECT_TRUE(other.drain().empty());

  // A changed filter replaces the old one.
  ASSERT_TRUE(cpu_only.send("{\"watch\":[{\"id\":\"" + kBusCheck + "\",\"metrics\":[\"mem\"]}]}"));
  EXPECT_TRUE(cpu_only.drain().empty());
  ASSERT_TRUE(the_stack->publish(plain_line(kBusCheck, "cpu", "1", the_stack->unique_time()) + "\n"));
  ASSERT_TRUE(the_stack->publish(plain_line(kBusCheck, "mem", "2", the_stack->unique_time()) + "\n"));
  EXPECT_TRUE(all.read_until([](const std::string &f) { return is_data(f, kBusCheck, "mem"); }));
  auto m = cpu_only.read();
  ASSERT_TRUE(m);
  EXPECT_TRUE(is_data(*m, kBusCheck, "mem")) << *m;

  // A line that cannot become a frame reaches nobody and is no error of the service: it counts in
  // "mq"/"bad_lines" (GET /metrics too) and is logged with its reason.
  json::value before = the_stack->stats();
  int64_t bad = stat(before, {"mq", "bad_lines"});
  ASSERT_GE(bad, 0);
  ASSERT_TRUE(the_stack->publish(plain_line(kBusCheck, "cpu", "3", "17335x0000") + "\n"));
  EXPECT_TRUE(e2e::wait_until([&] { return stat(the_stack->stats(), {"mq", "bad_lines"}) == bad + 1; }));
  EXPECT_TRUE(e2e::wait_until([&] { return the_stack->log().find("bus line refused (bad time)") != std::string::npos; }));
  EXPECT_NE(std::string::npos, e2e::http_get(the_stack->port, "/metrics").body.find("\nvorn_mq_bad_lines_total " + std::to_string(bad + 1) + "\n"));
  EXPECT_EQ(stat(before, {"errors", "total"}), stat(the_stack->stats(), {"errors", "total"}));
  EXPECT_TRUE(all.drain().empty());
  for (WsClient *c : {&all, &cpu_only, &other}) c->close();
  expect_quiet();
}

// One watch with a period gets the broker's samples (asked for with the watch's metric filter)
// and the bus samples of the same check on one session; the broker connection ends after the last
// client has gone.
TEST(E2e, BrokerAndBusForOneWatch) {
  E2E_REQUIRE_STACK();
  WsClient c;
  ASSERT_TRUE(c.open(the_stack->port));
  int64_t connects = stat(the_stack->stats(), {"agents", "global", "connects"});
  ASSERT_TRUE(c.send("{\"watch\":[{\"id\":\"" + kBrokerCheck + "\",\"period\":200,\"metrics\":[\"cpu\",\"latency\"]}]}"));
  std::vector<std::string> skipped;
  auto cpu = c.read_until([](const std::string &f) { return is_data(f, kBrokerCheck, "cpu"); }, &skipped);
  ASSERT_TRUE(cpu) << c.last_error.message();
  EXPECT_EQ("M", data_of(*cpu)->at("type"));
  auto lat = c.read_until([](const std::string &f) { return is_data(f, kBrokerCheck, "latency"); }, &skipped);
  ASSERT_TRUE(lat);
  EXPECT_EQ("H1", data_of(*lat)->at("type"));
  EXPECT_TRUE(data_of(*lat)->at("histogram").is_object());
  for (const auto &f : skipped) EXPECT_TRUE(is_data(f, kBrokerCheck, "cpu") || is_data(f, kBrokerCheck, "latency")) << f;

  json::object req = the_stack->sim.wait_event([](const json::object &e) {
    const json::value *r = e.if_contains("request");
    return vorn_test::event_is(e, "request") && r && r->is_object() && r->as_object().contains("period_ms") &&
           r->as_object().at("period_ms") == 200;
  });
  ASSERT_FALSE(req.empty()) << the_stack->sim.stderr_text();
  /* The union filter's order has no meaning. */
  json::object got = req.at("request").as_object();
  ASSERT_TRUE(got.contains("metrics") && got.at("metrics").is_array());
  std::set<std::string> names;
  for (const auto &n : got.at("metrics").as_array()) names.insert(std::string(n.as_string()));
  EXPECT_EQ(names, (std::set<std::string>{"cpu", "latency"}));
  EXPECT_EQ(got.at("metrics").as_array().size(), 2u);
  got.erase("metrics");
  EXPECT_EQ(json::value({{"check_uuid", kBrokerCheck}, {"period_ms", 200}}), json::value(got));

  ASSERT_TRUE(the_stack->publish(plain_line(kBrokerCheck, "cpu", "99.5", the_stack->unique_time()) + "\n"));
  auto bus = c.read_until([](const std::string &f) {
    auto d = data_of(f);
    return d && d->at("metric_name") == "cpu" && d->if_contains("value") && d->at("value") == 99.5;
  });
  EXPECT_TRUE(bus) << "the bus sample of the watched check did not arrive";
  json::value s = the_stack->stats();
  EXPECT_EQ(1, stat(s, {"agents", "global", "connections"}));
  EXPECT_EQ(connects + 1, stat(s, {"agents", "global", "connects"}));
  c.close();
  expect_quiet();
}

// Broker failures reach every client of the broker stream with the stream's id and period, end
// that stream only, and leave the bus subscription of the same watch in place.
TEST(E2e, BrokerFailuresReachEveryClient) {
  E2E_REQUIRE_STACK();
  struct {
    std::string check, error;
  } cases[] = {
      {kUnknownCheck, "could not find broker for provided uuid"},
      // A connection that is started but never opens ends like one the broker closes.
      {kDeadCheck, "connection to broker was terminated"},
      {kClosingCheck, "connection to broker was terminated"},
  };
  for (const auto &tc : cases) {
    SCOPED_TRACE(tc.error);
    WsClient a, b;
    ASSERT_TRUE(a.open(the_stack->port));
    ASSERT_TRUE(b.open(the_stack->port));
    const std::string watch = "{\"watch\":[{\"id\":\"" + tc.check + "\",\"period\":250}]}";
    // Both join the stream before it can fail: the second watch lands before the first answer.
    ASSERT_TRUE(a.send(watch));
    ASSERT_TRUE(b.send(watch));
    const std::string expected = error_frame(tc.error, "watch", tc.check.c_str(), 250);
    for (WsClient *c : {&a, &b}) {
      std::vector<std::string> skipped;
      auto f = c->read_until([](const std::string &x) { return x.find("\"error\"") != std::string::npos; }, &skipped);
      ASSERT_TRUE(f) << c->last_error.message();
      EXPECT_EQ(expected, *f);
      for (const auto &x : skipped) EXPECT_TRUE(is_data(x, tc.check, "cpu") || data_of(x)) << x;
    }
    json::value s;
    EXPECT_TRUE(e2e::wait_until([&] {
      s = the_stack->stats();
      return stat(s, {"websocket", "watches", "stream"}) == 0 && stat(s, {"websocket", "watches", "check"}) == 2;
    })) << json::serialize(s);
    // The bus side goes on.
    ASSERT_TRUE(the_stack->publish(plain_line(tc.check, "disk", "3", the_stack->unique_time()) + "\n"));
    EXPECT_TRUE(a.read_until([&](const std::string &x) { return is_data(x, tc.check, "disk"); }));
    a.close();
    b.close();
    expect_quiet();
  }
}

// GET /stats.json: JSON followed by exactly one newline, counting itself, with the tree's fixed
// members; other paths are not found.
TEST(E2e, StatisticsEndpoint) {
  E2E_REQUIRE_STACK();
  e2e::HttpReply a = e2e::http_get(the_stack->port, "/stats.json");
  e2e::HttpReply b = e2e::http_get(the_stack->port, "/stats.json");
  ASSERT_EQ(200, a.status) << a.error;
  EXPECT_EQ("application/json", a.content_type);
  ASSERT_GE(a.body.size(), 2u);
  EXPECT_EQ('\n', a.body.back());
  EXPECT_NE('\n', a.body[a.body.size() - 2]);
  json::value va = json::parse(a.body), vb = json::parse(b.body);
  EXPECT_EQ(stat(va, {"requests"}) + 1, stat(vb, {"requests"}));
  EXPECT_GE(stat(vb, {"uptime_s"}), 0);
  EXPECT_LE(stat(va, {"uptime_s"}), stat(vb, {"uptime_s"}));
  EXPECT_EQ(0, stat(vb, {"errors", "client"}));
  for (const char *name : {"total", "wdb", "stream_hash", "pask", "broker", "api", "client"})
    EXPECT_GE(stat(vb, {"errors", name}), 0) << name;
  ASSERT_TRUE(vb.at("mq").at("details").is_object());
  EXPECT_EQ("pask", vb.at("mq").at("details").at("type"));
  EXPECT_EQ(json::value(the_stack->nats.url()), vb.at("mq").at("details").at("host"));
  EXPECT_EQ(404, e2e::http_get(the_stack->port, "/stats.jsonx").status);
  // A websocket that does not name the protocol is not upgraded.
  WsClient c;
  EXPECT_FALSE(c.open(the_stack->port, nullptr, "other"));
}

// The watch tool prints the frames of its watch, reports a refused watch on stderr with a failing
// status, and ends with status 0 on Ctrl-C.
TEST(E2e, WatchTool) {
  E2E_REQUIRE_STACK();
  std::string tool = e2e::env_or("VORN_TOOLS_DIR", "build/tools") + "/vorn-watch";
  ASSERT_EQ(0, access(tool.c_str(), X_OK)) << tool;
  std::string url = "ws://127.0.0.1:" + std::to_string(the_stack->port) + "/";
  const std::string &dir = the_stack->dir.path();

  e2e::Child watch, table;
  ASSERT_TRUE(watch.start({tool, url, "--id", kBusCheck, "--metric", "cpu"}, dir + "/watch.out", dir + "/watch.err"));
  ASSERT_TRUE(table.start({tool, url, "--id", kBusCheck, "--table"}, dir + "/table.out", dir + "/table.err"));
  ASSERT_TRUE(e2e::wait_until([&] { return stat(the_stack->stats(), {"websocket", "watches", "check"}) == 2; }))
      << watch.err() << table.err();
  ASSERT_TRUE(the_stack->publish(plain_line(kBusCheck, "mem", "5", the_stack->unique_time()) + "\n"));
  ASSERT_TRUE(the_stack->publish(plain_line(kBusCheck, "cpu", "42.25", the_stack->unique_time()) + "\n"));
  EXPECT_TRUE(e2e::wait_until([&] { return watch.out().find("42.25") != std::string::npos; })) << watch.err();
  // The table shows numbers as written, not in exponent form.
  EXPECT_TRUE(e2e::wait_until([&] { return table.out().find("\tcpu\t42.25\n") != std::string::npos; })) << table.out();
  EXPECT_NE(std::string::npos, table.out().find("\tmem\t5\n")) << table.out();
  EXPECT_EQ(std::string::npos, table.out().find("E9")) << table.out();
  EXPECT_EQ(0, table.stop(SIGINT));
  EXPECT_EQ(0, watch.stop(SIGINT));
  EXPECT_EQ(std::string::npos, watch.out().find("\"mem\"")) << watch.out();
  EXPECT_TRUE(is_data(watch.out().substr(0, watch.out().find('\n')), kBusCheck, "cpu")) << watch.out();

  e2e::Child refused;
  ASSERT_TRUE(refused.start({tool, url, "--id", "not-a-uuid"}, dir + "/refused.out", dir + "/refused.err"));
  EXPECT_NE(0, refused.wait_exit());
  EXPECT_NE(std::string::npos, refused.err().find("pask watch request failed")) << refused.err();
  expect_quiet();
}

/* A websocket server of the "vorn" sub-protocol that ends its connections, one after the other, as
 * told: after the first message of each (the tool's watch), it closes with 1013 "client too slow",
 * drops the TCP connection, or sends one data frame and waits for the client's close. */
enum class Ending { too_slow, drop, serve };

struct ScriptedServer {
  static constexpr const char *kFrame =
      "{\"check\":{\"id\":\"6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f11\",\"metric_name\":\"cpu\",\"time\":1.5,"
      "\"type\":\"M\",\"value\":7.25}}";
  e2e::asio::io_context ioc;
  e2e::tcp::acceptor acceptor{ioc, {e2e::asio::ip::make_address("127.0.0.1"), 0}};
  std::vector<Ending> endings;
  size_t next = 0;                    /* the connection being served; io thread only */
  std::unique_ptr<e2e::websocket::stream<e2e::tcp::socket>> ws;
  e2e::beast::flat_buffer buffer;
  std::mutex m;
  std::vector<std::string> requests;  /* the first message of each connection, guarded by m */
  int client_close_code = -1;         /* close code the client sent to a served connection, guarded by m */
  std::string failure;                /* a step that failed unexpectedly, guarded by m */
  std::thread thread;

  explicit ScriptedServer(std::vector<Ending> e) : endings(std::move(e)) {
    accept_next();
    thread = std::thread([this] { ioc.run(); });
  }
  ~ScriptedServer() { stop(); }
  /* Ends the script; the port then refuses connections. */
  void stop() {
    if (!thread.joinable()) return;
    ioc.stop();
    thread.join();
    acceptor.close();
  }
  int port() { return acceptor.local_endpoint().port(); }
  template <class T> T locked(const T &field) {
    std::lock_guard<std::mutex> g(m);
    return field;
  }

  void fail(const char *step, e2e::beast::error_code ec) {
    std::lock_guard<std::mutex> g(m);
    failure = std::string(step) + ": " + ec.message();
  }

  void accept_next() {
    if (next == endings.size()) return;
    acceptor.async_accept([this](e2e::beast::error_code ec, e2e::tcp::socket s) {
      if (ec) return fail("accept", ec);
      ws = std::make_unique<e2e::websocket::stream<e2e::tcp::socket>>(std::move(s));
      ws->set_option(e2e::websocket::stream_base::decorator([](e2e::websocket::response_type &r) {
        r.set(e2e::http::field::sec_websocket_protocol, "vorn");
      }));
      ws->async_accept([this](e2e::beast::error_code ec) {
        if (ec) return fail("upgrade", ec);
        ws->async_read(buffer, [this](e2e::beast::error_code ec, size_t) {
          if (ec) return fail("read", ec);
          {
            std::lock_guard<std::mutex> g(m);
            requests.push_back(e2e::beast::buffers_to_string(buffer.data()));
          }
          buffer.consume(buffer.size());
          end_connection(endings[next++]);
        });
      });
    });
  }

  void end_connection(Ending ending) {
    namespace websocket = e2e::websocket;
    if (ending == Ending::too_slow) {
      ws->async_close({websocket::close_code::try_again_later, "client too slow"}, [this](e2e::beast::error_code ec) {
        if (ec) return fail("close", ec);
        accept_next();
      });
    } else if (ending == Ending::drop) {
      ws->next_layer().close();
      accept_next();
    } else {
      ws->async_write(e2e::asio::buffer(kFrame, strlen(kFrame)), [this](e2e::beast::error_code ec, size_t) {
        if (ec) return fail("write", ec);
        ws->async_read(buffer, [this](e2e::beast::error_code ec, size_t) {
          std::lock_guard<std::mutex> g(m);
          client_close_code = ec == websocket::error::closed ? ws->reason().code : -1;
        });
      });
    }
  }
};

// what this proves: when the server ends the connection (1013 "client too slow", or a dropped TCP
// connection) the watch tool says so, connects again, sends the same watch and prints what the new
// connection brings, and Ctrl-C then closes normally (1000) with status 0; with --once it exits
// with status 1 naming the close code, and a failed connect ends it the same way
TEST(E2e, WatchToolReconnects) {
  std::string tool = e2e::env_or("VORN_TOOLS_DIR", "build/tools") + "/vorn-watch";
  ASSERT_EQ(0, access(tool.c_str(), X_OK)) << tool;
  const std::string &dir = the_stack->dir.path();
  struct {
    const char *name;
    std::vector<Ending> endings;
    bool once;
    std::vector<std::string> said; /* on stderr */
  } rows[] = {
      {"too slow", {Ending::too_slow, Ending::serve}, false,
       {"server closed the connection with code 1013 \"client too slow\": this client did not read fast enough",
        "; reconnecting in ", "vorn-watch: reconnected to 127.0.0.1:"}},
      {"dropped", {Ending::drop, Ending::serve}, false, {"connection lost: ", "vorn-watch: reconnected to 127.0.0.1:"}},
      {"once", {Ending::too_slow}, true,
       {"server closed the connection with code 1013 \"client too slow\"", "; exiting (--once)"}},
      {"no server", {}, true, {"cannot connect to 127.0.0.1:", "; exiting (--once)"}},
  };
  for (auto &row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedServer server(row.endings);
    int port = server.port();
    if (row.endings.empty()) server.stop();
    std::vector<std::string> args = {tool, "ws://127.0.0.1:" + std::to_string(port) + "/", "--id", kBusCheck,
                                     "--period", "250"};
    if (row.once) args.push_back("--once");
    e2e::Child watch;
    /* Files of its own for each row: the frame printed in an earlier row must not count. */
    std::string files = dir + "/reconnect-" + std::to_string(&row - rows);
    ASSERT_TRUE(watch.start(args, files + ".out", files + ".err"));
    /* Without --once the tool runs until the frame of the last connection has been printed. */
    int rc = row.once ? watch.wait_exit()
                      : (e2e::wait_until([&] { return watch.out().find(ScriptedServer::kFrame) != std::string::npos; }),
                         watch.stop(SIGINT));
    EXPECT_EQ(row.once ? 1 : 0, rc) << watch.err();
    EXPECT_EQ(!row.once, watch.out().find(ScriptedServer::kFrame) != std::string::npos) << watch.out();
    EXPECT_TRUE(e2e::wait_until([&] { return server.locked(server.client_close_code) == (row.once ? -1 : 1000); }));
    for (const auto &text : row.said) EXPECT_NE(std::string::npos, watch.err().find(text)) << watch.err();
    auto requests = server.locked(server.requests);
    EXPECT_EQ(row.endings.size(), requests.size());
    for (const auto &r : requests)
      EXPECT_EQ("{\"watch\":[{\"id\":\"" + kBusCheck + "\",\"period\":250}]}", r);
    EXPECT_EQ("", server.locked(server.failure));
  }
}

}  // namespace
