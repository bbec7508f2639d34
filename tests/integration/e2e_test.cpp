/* End to end through real processes (the service, PostgreSQL, nats-server, broker simulators, the bus
 * publisher tool, websocket clients); one stack serves every test and each test leaves nothing behind. */
#include "support/test_cert.h"
#include "support/vorn_fixture.h"
#include <regex>

using namespace vorn_test;
using S = Stack;

namespace {
const test_cert kCert = test_cert_make();
Stack *const the_stack = static_cast<Stack *>(::testing::AddGlobalTestEnvironment(new Stack([] {
  VornConf c; /* a second listener, with TLS */
  c.extra = "<listeners><listener address=\"127.0.0.1\" port=\"0\"><ssl certificate_file=\"" +
            kCert.cert_file + "\" key_file=\"" + kCert.key_file + "\"/></listener></listeners>\n";
  return c;
}())));
#define REQUIRE_STACK() ASSERT_EQ("", the_stack->setup_error)

/* The frame of a plain sample with a .5 time (see unique_time). */
std::string m_frame(const std::string &id, const std::string &metric, const std::string &time,
                    const std::string &value) {
  return "{\"check\":{\"id\":\"" + id + "\",\"metric_name\":\"" + metric + "\",\"time\":" + time +
         ",\"type\":\"M\",\"value\":" + value + "}}";
}

std::pair<int64_t, int64_t> gauges(json::value s = the_stack->vorn.stats()) {
  return {stat(s, {"websocket", "watches", "check"}), stat(s, {"websocket", "watches", "stream"})};
}
} // namespace

// what this proves: bad entries are refused one by one (unwatch list first) with the entry's JSON text while
// the good entry of the same message is handled; ids that cannot name a bus stream are refused by the bus
// side; each malformed message gets exactly its own error frame of kind "neither", heartbeats (also binary,
// or with a list beside) the fixed reply; every message counts once in "requests", each refusal once in
// "errors"; a text that is not JSON also ends the session with 1008 and is logged
TEST(E2e, MalformedRequestsAndBadEntries) {
  REQUIRE_STACK();
  WsClient c;
  ASSERT_TRUE(c.open(the_stack->vorn.port));
  json::value s0 = the_stack->vorn.stats();
  const std::string b = S::kBusCheck, nul = "{\"id\":\"" + b + "\\u0000junk\"}";
  ASSERT_TRUE(c.send("{\"watch\":[{\"period\":5},7,{\"id\":12}," + nul + ",{\"id\":\"" + b +
                     "\",\"metrics\":\"cpu\"},{\"id\":\"" + b + "\",\"metrics\":[\"cpu\",null]},{\"id\":\"" +
                     b + "\"}],\"unwatch\":[{},\"x\",{\"id\":[]}]}"));
  const std::string not_str = "'id' is not a string (",
                    not_arr = "'metrics' is not an array of strings ({\"id\":\"" + b;
  EXPECT_EQ((std::vector<std::string>{
                error_frame("no uuid found in unwatch request ({})", "unwatch"),
                error_frame("invalid unwatch request: entry is not an object (\"x\")", "unwatch"),
                error_frame("invalid unwatch request: " + not_str + "{\"id\":[]})", "unwatch"),
                error_frame("no uuid found in watch request ({\"period\":5})", "watch"),
                error_frame("invalid watch request: entry is not an object (7)", "watch"),
                error_frame("invalid watch request: " + not_str + "{\"id\":12})", "watch"),
                error_frame("invalid watch request: " + not_str + nul + ")", "watch"),
                error_frame("invalid watch request: " + not_arr + "\",\"metrics\":\"cpu\"})", "watch"),
                error_frame("invalid watch request: " + not_arr + "\",\"metrics\":[\"cpu\",null]})", "watch"),
            }),
            c.drain());
  EXPECT_EQ(std::make_pair(int64_t(1), int64_t(0)), gauges()) << "the good entry was not handled";
  const std::string neither = "neither 'watch' nor 'unwatch' found in request", w = "{\"id\":\"" + b + "\"}";
  struct {
    std::string request, reply;
    bool binary;
  } rows[] = {
      {kHeartbeat, kHeartbeat, false},
      {"{\"type\":\"heartbeats\"}", kHeartbeat, false},
      {kHeartbeat, kHeartbeat, true},
      {"{\"type\":\"heartbeat\",\"watch\":[" + w + "]}", kHeartbeat, false},
      {"{}", error_frame(neither, "neither"), false},
      {"{\"watch\":null,\"unwatch\":null}", error_frame(neither, "neither"), false},
      {"null", error_frame("request is not a JSON object", "neither"), false},
      {"{\"unwatch\":[],\"watch\":5}", error_frame("'watch' is not an array", "neither"), false},
      {"{\"unwatch\":true,\"watch\":[" + w + "]}", error_frame("'unwatch' is not an array", "neither"),
       false},
  };
  for (const auto &row : rows) EXPECT_EQ(row.reply, c.ask(row.request, row.binary)) << row.request;
  EXPECT_EQ(error_frame("Unable to parse incoming json", "neither"), c.ask("{\"watch\":[tru"));
  EXPECT_FALSE(c.read());
  EXPECT_EQ(1008, c.close_code());
  json::value s = the_stack->vorn.stats(); /* 11 messages, a drain, 2 stats requests */
  EXPECT_EQ(stat(s0, {"requests"}) + 14, stat(s, {"requests"}));
  EXPECT_EQ(stat(s0, {"errors", "api"}) + 9 + 6, stat(s, {"errors", "api"}));
  EXPECT_TRUE(the_stack->vorn.logged("Unable to parse incoming json"));
  the_stack->expect_quiet();
}

// what this proves: watch, re-watch, unwatch and session end move the check (bus) and stream (broker) gauges
// exactly: unwatch is handled before watch in one message, unwatching what is not watched is silent, an
// unwatch without period ends only the bus side
TEST(E2e, WatchListAndGauges) {
  REQUIRE_STACK();
  WsClient c;
  ASSERT_TRUE(c.open(the_stack->vorn.port));
  const std::string w = "{\"id\":\"" + S::kBusCheck + "\"}",
                    p = "{\"id\":\"" + S::kBrokerCheck + "\",\"period\":60000}";
  struct {
    std::string request;
    std::pair<int64_t, int64_t> gauges;
  } steps[] = {
      {"{\"watch\":[" + w + "," + w + "]}", {1, 0}},
      {"{\"unwatch\":[" + w + "]}", {0, 0}},
      {"{\"unwatch\":[" + w + ",{\"id\":\"" + S::kOtherBusCheck + "\",\"period\":500}]}", {0, 0}},
      {"{\"watch\":[" + w + "],\"unwatch\":[" + w + "]}", {1, 0}},
      {"{\"watch\":[" + p + "]}", {2, 1}},
      {"{\"unwatch\":[{\"id\":\"" + S::kBrokerCheck + "\"}]}", {1, 1}},
  };
  for (const auto &step : steps) {
    ASSERT_TRUE(c.send(step.request));
    for (const auto &f : c.drain()) EXPECT_TRUE(is_data(f, S::kBrokerCheck)) << step.request << ": " << f;
    EXPECT_TRUE(wait_until([&] { return gauges() == step.gauges; }))
        << step.request << ": " << gauges().first << "/" << gauges().second;
  }
  c.close();
  the_stack->expect_quiet();
}

// what this proves: bus samples (plain, text, histogram, upper-case id) reach exactly the sessions whose
// watch and filter admit them, once each, as whole data frames; a repeated payload reaches nobody; a changed
// filter replaces the old one; a line that cannot be a frame is counted in "mq"/"bad_lines" and logged, and
// is no error of the service
TEST(E2e, BusSamplesReachTheRightWatchers) {
  REQUIRE_STACK();
  WsClient all, cpu, other;
  const std::string b = S::kBusCheck, o = S::kOtherBusCheck;
  for (auto [c, req] : {std::pair{&all, watch_of(b, 0, ",\"metrics\":[]")},
                        {&cpu, watch_of(b, 0, ",\"metrics\":[\"cpu\",\"disk\"]")},
                        {&other, watch_of(o)}})
    ASSERT_TRUE(c->open(the_stack->vorn.port) && c->send(req) && c->drain().empty());
  std::string upper = b, t[5];
  for (char &ch : upper) ch = (char) toupper((unsigned char) ch);
  for (auto &x : t) x = unique_time();
  for (const std::string &payload :
       {m_line(b, "mem", "1.5", "n", t[0]), m_line(b, "mem", "1.5", "n", t[0]),
        m_line(upper, "cpu", "12.5", "n", t[1]),
        "H\te2e-broker-01\t" + t[2] + "\t" + b + "\tlatency\tAAIy/wAAAAAAAAADCgEAAAAAAAAAAQ==\n",
        m_line(b, "cpu", "7.25", "n", t[3]), m_line(b, "state", "all\tfine", "s", t[3]),
        m_line(o, "cpu", "8.25", "n", t[3])})
    ASSERT_TRUE(the_stack->publish(payload));
  const std::string latency = "{\"check\":{\"id\":\"" + b +
                              "\",\"metric_name\":\"latency\",\"time\":" + t[2] +
                              ",\"type\":\"H1\",\"histogram\":{\"0.500000\":3,\"10.000000\":1}}}";
  std::vector<std::string> got;
  for (int i = 0; i < 5; i++) got.push_back(all.read().value_or("<none: " + all.last_error + ">"));
  std::sort(got.begin(), got.end());
  std::vector<std::string> want = {m_frame(b, "mem", t[0], "1.5"), m_frame(b, "cpu", t[1], "12.5"),
                                   m_frame(b, "cpu", t[3], "7.25"),
                                   m_frame(b, "state", t[3], "\"all\\tfine\""), latency};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(want, got);
  EXPECT_EQ(std::vector<std::string>{}, all.drain()) << "the repeated payload arrived twice";
  EXPECT_EQ((std::vector<std::string>{m_frame(b, "cpu", t[1], "12.5"), m_frame(b, "cpu", t[3], "7.25")}),
            (std::vector<std::string>{cpu.read().value_or(""), cpu.read().value_or("")}));
  EXPECT_EQ(std::vector<std::string>{}, cpu.drain());
  EXPECT_EQ(m_frame(o, "cpu", t[3], "8.25"), other.read().value_or(""));
  EXPECT_EQ(std::vector<std::string>{}, other.drain());
  ASSERT_TRUE(cpu.send(watch_of(b, 0, ",\"metrics\":[\"mem\"]")) && cpu.drain().empty());
  ASSERT_TRUE(the_stack->publish(m_line(b, "cpu", "1.25", "n", t[4])) &&
              the_stack->publish(m_line(b, "mem", "2.25", "n", t[4])));
  EXPECT_EQ(m_frame(b, "mem", t[4], "2.25"), cpu.read().value_or(""));
  EXPECT_EQ((std::vector<std::string>{m_frame(b, "cpu", t[4], "1.25"), m_frame(b, "mem", t[4], "2.25")}),
            (std::vector<std::string>{all.read().value_or(""), all.read().value_or("")}));
  json::value s0 = the_stack->vorn.stats();
  ASSERT_TRUE(the_stack->publish(m_line(b, "cpu", "3", "n", "17335x0000")));
  EXPECT_TRUE(wait_until([&] {
    return the_stack->vorn.stat({"mq", "bad_lines"}) == stat(s0, {"mq", "bad_lines"}) + 1;
  }));
  EXPECT_TRUE(the_stack->vorn.logged("bus line refused (bad time)"));
  EXPECT_EQ(stat(s0, {"errors", "total"}), the_stack->vorn.stat({"errors", "total"}));
  EXPECT_EQ(std::vector<std::string>{}, all.drain());
  for (WsClient *c : {&all, &cpu, &other}) c->close();
  the_stack->expect_quiet();
}

// what this proves: one watch with a period gets the broker's samples of its metric filter and the bus
// samples of the same check; the broker connection is counted and ends after the last
// client
TEST(E2e, BrokerAndBusForOneWatch) {
  REQUIRE_STACK();
  WsClient c;
  ASSERT_TRUE(c.open(the_stack->vorn.port));
  int64_t connects = the_stack->vorn.stat({"agents", "global", "connects"});
  ASSERT_TRUE(c.send(watch_of(S::kBrokerCheck, 200, ",\"metrics\":[\"cpu\",\"latency\"]")));
  std::vector<std::string> skipped;
  EXPECT_TRUE(c.read_until(
      [](const std::string &f) {
        return is_data(f, S::kBrokerCheck) && f.find("\"type\":\"H1\"") != std::string::npos;
      },
      &skipped));
  for (const auto &f : skipped)
    EXPECT_TRUE(is_data(f, S::kBrokerCheck, "cpu") ||
                f.find("\"metric_name\":\"latency\"") != std::string::npos)
        << f;
  std::string t = unique_time();
  ASSERT_TRUE(the_stack->publish(m_line(S::kBrokerCheck, "cpu", "99.5", "n", t)));
  EXPECT_TRUE(
      c.read_until([&](const std::string &f) { return f == m_frame(S::kBrokerCheck, "cpu", t, "99.5"); }));
  EXPECT_EQ(1, the_stack->vorn.stat({"agents", "global", "connections"}));
  EXPECT_EQ(connects + 1, the_stack->vorn.stat({"agents", "global", "connects"}));
  c.close();
  the_stack->expect_quiet();
}

// what this proves: GET /stats.json is JSON and one newline, counts itself, names the bus; GET /metrics has
// the exposition type and the tree's values under their documented names, and is no request; the page is
// under /ui/ (/ui redirected), other paths 404; the TLS listener serves
// REST and answers plain HTTP with 400 (counted); /health follows the bus through an outage and samples flow
// after it; SIGHUP reopens the logs
TEST(E2e, HttpTlsAndBusOutage) {
  REQUIRE_STACK();
  Vorn &v = the_stack->vorn;
  HttpReply m = v.get("/metrics"), a = v.get("/stats.json"), b = v.get("/stats.json");
  ASSERT_EQ(200, a.status) << a.error;
  EXPECT_EQ("application/json", a.content_type);
  EXPECT_EQ("}\n", a.body.substr(a.body.size() - 2));
  json::value va = json::parse(a.body), vb = json::parse(b.body);
  EXPECT_EQ(stat(va, {"requests"}) + 1, stat(vb, {"requests"}));
  EXPECT_EQ(json::value({{"host", the_stack->nats.url()}, {"type", "pask"}}), vb.at("mq").at("details"));
  EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", m.content_type);
  auto n = [&](std::initializer_list<const char *> path) { return std::to_string(stat(va, path)) + "\n"; };
  for (const std::string &want : std::vector<std::string>{
           "\n# TYPE vorn_errors_total counter\n",
           "\nvorn_errors_total{module=\"api\"} " + n({"errors", "api"}),
           "\nvorn_errors_all_total " + n({"errors", "total"}),
           "\nvorn_requests_total " + std::to_string(stat(va, {"requests"}) - 1) + "\n",
           "\nvorn_mq_bad_lines_total " + n({"mq", "bad_lines"}),
           "\nvorn_websocket_watches{source=\"check\"} 0\n",
           "\nvorn_websocket_watches{source=\"stream\"} 0\n",
           "\nvorn_agents_connections{agent=\"global\"} 0\n",
           "\nvorn_mq_details_info{host=\"" + the_stack->nats.url() + "\",type=\"pask\"} 1\n"})
    EXPECT_NE(std::string::npos, m.body.find(want)) << want << m.body;
  for (auto [target, status, type] : {std::tuple{"/stats.jsonx", 404, "text/plain"},
                                      {"/ui", 301, "text/plain; charset=utf-8"},
                                      {"/ui/", 200, "text/html; charset=utf-8"}}) {
    HttpReply r = v.get(target);
    EXPECT_EQ(std::make_pair(status, std::string(type)), std::make_pair(r.status, r.content_type)) << target;
  }

  const std::string log = v.log(), marker = "listening on 127.0.0.1:"; /* the second listener's port */
  const int tls = atoi(log.c_str() + log.find(marker, log.find(marker) + 1) + marker.size());
  Child curl;
  ASSERT_TRUE(curl.start({"curl", "-sS", "--cacert", kCert.cert_file, "-w", " %{http_code} %{content_type}",
                          "https://127.0.0.1:" + std::to_string(tls) + "/health"},
                         the_stack->dir.path() + "/curl.out", the_stack->dir.path() + "/curl.err"));
  EXPECT_EQ(0, curl.wait_exit()) << curl.err();
  EXPECT_TRUE(std::regex_match(
      curl.out(), std::regex("ok: message bus connected for [0-9]+ s\n 200 text/plain; charset=utf-8")))
      << curl.out();
  HttpReply plain = http_get(tls, "/stats.json");
  EXPECT_EQ(std::make_pair(400, std::string("this listener requires TLS\n")),
            std::make_pair(plain.status, plain.body));
  EXPECT_EQ(stat(vb, {"errors", "plaintext_refused"}) + 1, v.stat({"errors", "plaintext_refused"}));

  HttpReply r;
  auto health = [&](int status, const char *re) {
    return wait_until(
        [&] { return (r = v.get("/health")).status == status && std::regex_match(r.body, std::regex(re)); },
        std::chrono::seconds(30));
  };
  EXPECT_TRUE(health(200, "ok: message bus connected for [0-9]+ s\n")) << r.body;
  EXPECT_EQ("text/plain; charset=utf-8", r.content_type);
  the_stack->nats.stop();
  EXPECT_TRUE(health(503, "message bus down: connection lost [0-9]+ s ago, reconnecting\n")) << r.body;
  ASSERT_TRUE(the_stack->nats.start()) << the_stack->nats.error;
  EXPECT_TRUE(health(200, "ok: message bus connected for [0-9]+ s\n")) << r.body << v.tail();
  WsClient c;
  ASSERT_TRUE(c.open(v.port) && c.send(watch_of(S::kBusCheck)) && c.drain().empty());
  auto arrives = [&] {
    return the_stack->publish(m_line(S::kBusCheck, "cpu", "1.5")) && c.read(std::chrono::milliseconds(100));
  };
  EXPECT_TRUE(wait_until(arrives, std::chrono::seconds(30))) << "subscribed again after the reconnection";
  c.close();
  kill(v.proc.pid, SIGHUP);
  EXPECT_TRUE(v.logged("SIGHUP, reopening log files")) << v.tail();
  the_stack->expect_quiet();
}
