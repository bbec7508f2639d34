/* Faults through real processes: brokers, the database and the bus server fail under the service, clients
 * misbehave; small limits and timeouts make every fault show quickly. */
#include "support/vorn_fixture.h"
#include <sys/socket.h>

using namespace vorn_test;
using S = Stack;
using Clock = std::chrono::steady_clock;

namespace {
constexpr size_t kMaxClientMessage = 16384, kMaxBrokerMessage = 65536;
constexpr int kConnectTimeoutMs = 1000, kBrokerIdleMs = 1000;

Stack *const the_stack = static_cast<Stack *>(::testing::AddGlobalTestEnvironment(new Stack([] {
  VornConf c;
  c.extra =
      "<http max_message_bytes=\"" + std::to_string(kMaxClientMessage) +
      "\" outbound_queue_bytes=\"65536\" ping_interval_ms=\"0\" idle_timeout_ms=\"0\"/>\n<websocket_client "
      "connect_timeout_ms=\"" +
      std::to_string(kConnectTimeoutMs) + "\" idle_timeout_ms=\"" + std::to_string(kBrokerIdleMs) +
      "\" max_message_bytes=\"" + std::to_string(kMaxBrokerMessage) + "\"/>\n";
  return c;
}())));
#define REQUIRE_STACK() ASSERT_EQ("", the_stack->setup_error)
const std::string kTerminated = "connection to broker was terminated";

long open_fds(pid_t pid) {
  return std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"), {});
}
/* A client frame with a zero mask key, so that its payload goes as it is. */
std::string frame(int first, const std::string &p) {
  std::string len = p.size() < 126 ? std::string(1, char(0x80 | p.size()))
                                   : std::string{char(0xfe), char(p.size() >> 8), char(p.size() & 0xff)};
  return char(first) + len + std::string(4, '\0') + p;
}
/* Publishes a sample of check; true when it is the next frame of every client. */
bool bus_flows(const std::string &check, std::vector<WsClient *> clients) {
  bool ok = the_stack->publish(m_line(check, "disk", "4.5"));
  for (WsClient *c : clients) ok = is_data(c->read().value_or(c->last_error), check, "disk") && ok;
  return ok;
}
} // namespace

// what this proves: a broker that dies, closes, freezes, never completes the upgrade
// or sends a frame over the limit ends its stream with the termination frame (id and period) to every client,
// after the idle or connect deadline where one applies; the connection is counted opened and closed, no
// service error is counted and the bus side of the watches goes on; broken frames are skipped and a large
// frame under the limit is relayed whole
TEST(Fault, BrokerFaults) {
  REQUIRE_STACK();
  enum Act { none, kill_sim, stop_sim, silent }; /* silent: a socket that accepts and never answers */
  const std::string hb = "--heartbeat-ms", big = "--big-frame-bytes";
  struct {
    const char *name;
    std::vector<std::string> sim_args;
    Act act;
    std::string first_metric; /* data that must come first ("" none) */
    bool ends;
    int min_ms;
  } rows[] = {
      {"killed", {hb, "300"}, kill_sim, "cpu", true, 0},
      {"closes", {hb, "300", "--close-after", "2"}, none, "", true, 0},
      {"frozen", {hb, "200"}, stop_sim, "cpu", true, kBrokerIdleMs * 9 / 10},
      {"no upgrade", {}, silent, "", true, kConnectTimeoutMs * 9 / 10},
      {"oversized", {hb, "200", big, std::to_string(kMaxBrokerMessage + 1000)}, none, "", true, 0},
      {"malformed", {hb, "200", "--malformed"}, none, "mem", false, 0},
      {"large", {hb, "200", big, std::to_string(kMaxBrokerMessage / 2)}, none, "blob", false, 0},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    HarlSim sim;
    std::string err;
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), port = free_loopback_port();
    sockaddr_in sa{AF_INET, htons((uint16_t) port), {htonl(INADDR_LOOPBACK)}, {}};
    if (row.sim_args.empty()) {
      ASSERT_TRUE(bind(lfd, (sockaddr *) &sa, sizeof sa) == 0 && listen(lfd, 4) == 0);
    } else {
      ASSERT_TRUE(sim.start(row.sim_args, &err)) << err;
    }
    const std::string check = the_stack->add_broker_check(row.sim_args.empty() ? port : sim.port());
    WsClient a, b;
    ASSERT_TRUE(a.open(the_stack->vorn.port) && b.open(the_stack->vorn.port));
    json::value s0 = the_stack->vorn.stats();
    ASSERT_TRUE(a.send(watch_of(check, 100)) && b.send(watch_of(check, 100)));
    std::vector<std::string> skipped[2];
    for (int i = 0; i < 2 && !row.first_metric.empty(); i++)
      ASSERT_TRUE((i ? b : a).read_until(
          [&](const std::string &f) { return is_data(f, check, row.first_metric); }, &skipped[i]));
    if (row.act == kill_sim || row.act == stop_sim) kill(sim.pid(), row.act == kill_sim ? SIGKILL : SIGSTOP);
    auto t0 = Clock::now();
    for (int i = 0; i < 2 && row.ends; i++) {
      EXPECT_EQ(error_frame(kTerminated, "watch", check, 100),
                (i ? b : a).read_until(is_error, &skipped[i]).value_or("none"));
      EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(), row.min_ms);
      for (const auto &x : skipped[i]) EXPECT_TRUE(is_data(x, check)) << x;
    }
    if (row.act == stop_sim) kill(sim.pid(), SIGCONT);
    close(lfd);
    json::value s;
    EXPECT_TRUE(wait_until([&] {
      s = the_stack->vorn.stats();
      return stat(s, {"agents", "global", "connections"}) == !row.ends &&
             stat(s, {"websocket", "watches", "stream"}) == (row.ends ? 0 : 2);
    })) << json::serialize(s);
    EXPECT_EQ(stat(s0, {"agents", "global", "connects"}) + 1, stat(s, {"agents", "global", "connects"}));
    EXPECT_EQ(stat(s0, {"agents", "global", "closes"}) + row.ends, stat(s, {"agents", "global", "closes"}));
    EXPECT_EQ(stat(s0, {"errors", "total"}), stat(s, {"errors", "total"}));
    /* the bus side goes on and no second error frame comes first; a stream that stays delivers on */
    EXPECT_TRUE(row.ends ? bus_flows(check, {&a, &b}) : a.read_until([&](const std::string &f) {
                                                           return is_data(f, check, "cpu");
                                                         }).has_value());
    a.close();
    b.close();
    the_stack->expect_quiet();
  }
}

// what this proves: a client that watches and does not read is ended once its outbound queue is over the
// bound (counted in "websocket"/"slow_clients", not an error), then reads a gap-free prefix of the frames and
// close 1013 "client too slow"; the clients that read get every frame once and in order
TEST(Fault, ClientThatDoesNotReadIsEndedWith1013) {
  REQUIRE_STACK();
  const std::string check = "5100dead-1b5f-4c47-9a43-0e6a2e4c8f16";
  WsClient slow, good[2];
  ASSERT_TRUE(slow.open(the_stack->vorn.port, nullptr, "vorn", "/", 4096) && slow.send(watch_of(check)));
  for (WsClient &g : good)
    ASSERT_TRUE(g.open(the_stack->vorn.port) && g.send(watch_of(check)) && g.drain().empty());
  ASSERT_TRUE(wait_until([&] { return the_stack->vorn.stat({"websocket", "watches", "check"}) == 3; }));
  json::value s0 = the_stack->vorn.stats();
  auto seq = [](const std::string &f) {
    size_t v = f.find("\"value\":\"");
    return v == std::string::npos ? -1 : atol(f.c_str() + v + 9);
  };
  long published = 0, after_end = 0;
  while (after_end < 3 && published < 20000) {
    for (int k = 0; k < 20; k++) /* large lines, one payload each */
      ASSERT_TRUE(the_stack->publish(
          m_line(check, "payload", std::to_string(++published) + ":" + std::string(2000, 'v'), "s")));
    for (WsClient &g : good)
      for (long k = published - 19; k <= published; k++)
        ASSERT_EQ(k, seq(g.read().value_or(g.last_error))) << k;
    after_end +=
        the_stack->vorn.stat({"websocket", "slow_clients"}) > stat(s0, {"websocket", "slow_clients"});
  }
  ASSERT_EQ(3, after_end) << "not ended after " << published << " frames";
  long k = 0;
  while (auto f = slow.read()) ASSERT_EQ(++k, seq(*f));
  EXPECT_EQ(std::make_pair(1013, std::string("client too slow")),
            std::make_pair(slow.close_code(), slow.close_reason()));
  EXPECT_TRUE(k > 0 && k < published) << k;
  json::value s = the_stack->vorn.stats();
  EXPECT_EQ(2, stat(s, {"websocket", "watches", "check"}));
  EXPECT_EQ(stat(s0, {"errors", "total"}), stat(s, {"errors", "total"}));
  EXPECT_EQ(stat(s0, {"websocket", "slow_clients"}) + 1, stat(s, {"websocket", "slow_clients"}));
  for (WsClient &g : good) EXPECT_EQ(std::vector<std::string>{}, g.drain());
  for (WsClient &g : good) g.close();
  the_stack->expect_quiet();
}

// what this proves: bad input from clients ends only that session, with the right code, before the handler
// sees it (a message over the limit, whole or in fragments: 1009, counted in "errors"/"message_too_big";
// protocol violations: 1002; text that is not UTF-8: 1007), a message at the
// limit and non-UTF-8 bytes in a binary frame are handled; the sessions' watches are undone, nothing else
// counts as an error and a bystander goes on
TEST(Fault, BadClientInput) {
  REQUIRE_STACK();
  WsClient bystander;
  ASSERT_TRUE(bystander.open(the_stack->vorn.port) && bystander.send(watch_of(S::kBusCheck)) &&
              bystander.drain().empty());
  auto sized = [](size_t n) {
    std::string head = "{\"type\":\"heartbeat\",\"pad\":\"", tail = "\"}";
    return head + std::string(n - head.size() - tail.size(), 'm') + tail;
  };
  const std::string over = sized(kMaxClientMessage + 1), not_utf8 =
                                                             "{\"watch\":[{\"id\":\"ab\xff\xfe"
                                                             "cd\"}]}";
  enum How { text, raw, binary };
  struct {
    const char *name;
    How how;
    std::string bytes;
    std::string reply; /* the first frame, or "" when the session ends */
    int code;          /* close code, or 0 when the session stays */
  } rows[] = {
      {"at the limit", text, sized(kMaxClientMessage), kHeartbeat, 0},
      {"over the limit", text, over, "", 1009},
      {"over the limit in fragments", raw, frame(0x01, over.substr(0, 9000)) + frame(0x80, over.substr(9000)),
       "", 1009},
      {"unmasked", raw, std::string("\x81\x02{}", 4), "", 1002},
      {"reserved opcode", raw, std::string("\x83\x80\x01\x02\x03\x04", 6), "", 1002},
      {"long control frame", raw, std::string("\x89\xfe\x00\x80\x01\x02\x03\x04", 8) + std::string(128, 'p'),
       "", 1002},
      {"not UTF-8", text, not_utf8, "", 1007},
      {"not UTF-8, binary", binary, not_utf8, error_frame("Unable to parse incoming json", "neither"), 1008},
  };
  json::value s0 = the_stack->vorn.stats();
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    WsClient c;
    ASSERT_TRUE(c.open(the_stack->vorn.port) && c.send(watch_of(S::kOtherBusCheck)) && c.drain().empty());
    int64_t requests = the_stack->vorn.stat({"requests"});
    ASSERT_TRUE(row.how == raw ? c.send_raw(row.bytes) : c.send(row.bytes, row.how == binary));
    EXPECT_EQ(row.reply.empty() ? "<none>" : row.reply, c.read().value_or("<none>"));
    c.read(std::chrono::milliseconds(row.code ? 20000 : 300)); /* the close, or nothing */
    EXPECT_EQ(row.code, c.close_code());
    /* the refused frames are no requests; the stats request is one */
    EXPECT_EQ(requests + !row.reply.empty() + 1, the_stack->vorn.stat({"requests"}));
    EXPECT_TRUE(wait_until([&] {
      return the_stack->vorn.stat({"websocket", "watches", "check"}) == 1 + !row.code;
    }));
  }
  json::value s = the_stack->vorn.stats();
  EXPECT_EQ(stat(s0, {"errors", "message_too_big"}) + 2, stat(s, {"errors", "message_too_big"}));
  EXPECT_EQ(stat(s0, {"errors", "total"}) + 2 + 1, stat(s, {"errors", "total"})); /* and the binary row's */
  EXPECT_TRUE(bus_flows(S::kBusCheck, {&bystander}));
  bystander.close();
  the_stack->expect_quiet();
}

// what this proves: hundreds of clients that watch (a quarter with a period, on one broker stream) and go,
// half with a close handshake and half by dropping the connection, while bus data flows, leave no watch,
// stream, broker connection, session socket or thread behind, cycle after cycle
TEST(Fault, ClientChurnLeavesNothingBehind) {
  REQUIRE_STACK();
  constexpr int kClients = 400, kCycles = 4;
  pid_t pid = the_stack->vorn.proc.pid;
  const long fds0 = open_fds(pid);
  for (int cycle = 0; cycle < kCycles; cycle++) {
    SCOPED_TRACE(cycle);
    std::vector<std::unique_ptr<WsClient>> clients;
    for (int i = 0; i < kClients; i++) {
      clients.push_back(std::make_unique<WsClient>());
      ASSERT_TRUE(clients.back()->open(the_stack->vorn.port) &&
                  clients.back()->send(i % 4 ? watch_of(S::kBusCheck, 0, ",\"metrics\":[\"cpu\"]")
                                             : watch_of(S::kBrokerCheck, 1000)));
      if (i % 50 == 0) the_stack->publish(m_line(S::kBusCheck, "cpu", std::to_string(i)));
    }
    json::value s;
    EXPECT_TRUE(wait_until([&] {
      s = the_stack->vorn.stats();
      return stat(s, {"websocket", "watches", "check"}) == kClients &&
             stat(s, {"websocket", "watches", "stream"}) == kClients / 4 &&
             stat(s, {"agents", "global", "connections"}) == 1;
    })) << json::serialize(s);
    for (int i = 0; i < kClients; i++) i % 2 ? clients[i]->abort() : clients[i]->close();
    clients.clear();
    the_stack->expect_quiet();
    long fds = 0;
    EXPECT_TRUE(wait_until([&] { return (fds = open_fds(pid)) <= fds0 + 2; }))
        << fds << " open, " << fds0 << " before";
  }
}

// what this proves: a frozen database stalls nobody: while broker watches wait for their lookups (counted in
// "wdb"/"pending") bus frames and heartbeat replies reach other sessions; once it
// answers every waiting watch gets its broker's data, the one unwatched meanwhile nothing and no connection.
// With the database stopped each lookup fails, is logged and counted ("wdb" and "broker" once each), its
// client gets the not-found frame and the bus side carries on; once it is back broker watches work again
TEST(Fault, DatabaseFrozenThenStopped) {
  REQUIRE_STACK();
  std::vector<std::string> checks;
  WsClient bystanders[2], waiting[4];
  for (int i = 0; i < 5; i++) checks.push_back(the_stack->add_broker_check(the_stack->sim.port()));
  for (WsClient &b : bystanders)
    ASSERT_TRUE(b.open(the_stack->vorn.port) && b.send(watch_of(S::kBusCheck)) && b.drain().empty());
  json::value s0 = the_stack->vorn.stats(), s;
  the_stack->pg.freeze();
  struct Thaw {
    ~Thaw() { the_stack->pg.thaw(); }
  } thaw_on_exit;
  for (int i = 0; i < 4; i++)
    ASSERT_TRUE(waiting[i].open(the_stack->vorn.port) && waiting[i].send(watch_of(checks[i], 150)));
  ASSERT_TRUE(wait_until([&] { return the_stack->vorn.stat({"wdb", "pending"}) == 4; }));
  ASSERT_TRUE(waiting[3].send("{\"unwatch\":[{\"id\":\"" + checks[3] + "\",\"period\":150}]}"));
  ASSERT_TRUE(wait_until([&] { return the_stack->vorn.stat({"websocket", "watches", "stream"}) == 3; }));
  EXPECT_TRUE(bus_flows(S::kBusCheck, {&bystanders[0], &bystanders[1]}));
  for (WsClient &b : bystanders) EXPECT_EQ(kHeartbeat, b.ask(kHeartbeat));
  the_stack->pg.thaw();
  for (int i = 0; i < 3; i++)
    EXPECT_TRUE(waiting[i].read_until([&](const std::string &f) { return is_data(f, checks[i]); })) << i;
  ASSERT_TRUE(wait_until([&] { return stat(s = the_stack->vorn.stats(), {"wdb", "pending"}) == 0; }));
  EXPECT_EQ(stat(s0, {"agents", "global", "connects"}) + 3, stat(s, {"agents", "global", "connects"}));
  EXPECT_EQ(std::vector<std::string>{}, waiting[3].drain());
  for (WsClient &c : waiting) c.close();
  ASSERT_TRUE(wait_until([&] { return the_stack->vorn.stat({"agents", "global", "connections"}) == 0; }));

  WsClient &c = bystanders[0];
  the_stack->pg.stop();
  s0 = the_stack->vorn.stats();
  for (int i = 0; i < 2; i++)
    EXPECT_EQ(error_frame("could not find broker for provided uuid", "watch", checks[4], 150),
              c.ask(watch_of(checks[4], 150)));
  EXPECT_TRUE(wait_until([&] {
    return stat(s = the_stack->vorn.stats(), {"websocket", "watches", "stream"}) == 0;
  }));
  EXPECT_EQ(stat(s0, {"errors", "wdb"}) + 2, stat(s, {"errors", "wdb"}));
  EXPECT_EQ(stat(s0, {"errors", "broker"}) + 2, stat(s, {"errors", "broker"}));
  EXPECT_EQ(stat(s0, {"errors", "total"}) + 4, stat(s, {"errors", "total"}));
  EXPECT_EQ(stat(s0, {"agents", "global", "connects"}), stat(s, {"agents", "global", "connects"}));
  EXPECT_EQ(3, stat(s, {"websocket", "watches", "check"})) << "the bus sides stay";
  EXPECT_TRUE(the_stack->vorn.logged("wdb_find_harl_ip connection to wdb failed"));
  EXPECT_TRUE(bus_flows(S::kBusCheck, {&bystanders[0], &bystanders[1]}));
  std::string err;
  ASSERT_TRUE(the_stack->pg.restart(&err)) << err;
  ASSERT_TRUE(c.send(watch_of(checks[4], 150)));
  EXPECT_TRUE(c.read_until([&](const std::string &f) { return is_data(f, checks[4], "cpu"); }))
      << c.last_error;
  EXPECT_EQ(1, the_stack->vorn.stat({"agents", "global", "connections"}));
  for (WsClient &b : bystanders) b.close();
  the_stack->expect_quiet();
}
