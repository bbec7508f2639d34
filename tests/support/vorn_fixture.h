/* Test support: the vorn-c process (configuration, start, readiness, stop by PID, statistics), bus
 * publishing, the frames the service sends, and the whole stack of one test program: PostgreSQL with
 * the broker directory, nats-server, two broker simulators and the service. */
#ifndef VORN_TEST_VORN_FIXTURE_H
#define VORN_TEST_VORN_FIXTURE_H
#include "support/client.h"
#include "support/harl_sim_fixture.h"
#include "support/nats_fixture.h"
#include "support/pg_fixture.h"

#include <gtest/gtest.h>
#include <nats/nats.h>

namespace vorn_test {
namespace json = boost::json;

/* The number at a path of the statistics tree; -1 when absent or not a number. */
inline int64_t stat(const json::value &tree, std::initializer_list<const char *> path) {
  const json::value *v = &tree;
  for (const char *p : path)
    if (!v->is_object() || !(v = v->as_object().if_contains(p))) return -1;
  return v->is_uint64() ? (int64_t) v->as_uint64() : v->is_int64() ? v->as_int64() : -1;
}
/* Sum of the error counters other than "total". */
inline int64_t error_sum(const json::value &tree) {
  int64_t sum = 0;
  for (const auto &kv : tree.at("errors").as_object()) sum += kv.key() == "total" ? 0 : kv.value().to_number<int64_t>();
  return sum;
}
/* The error frame the service sends, member for member. */
inline std::string error_frame(const std::string &error, const std::string &type, const std::string &id = "", int period = 0) {
  return "{\"error\":" + json::serialize(json::string(error)) + (id.empty() ? "" : ",\"id\":\"" + id + "\"") +
         (period ? ",\"period\":" + std::to_string(period) : "") + ",\"type\":\"" + type + "\"}";
}
/* True for a data frame of check id (with metric, when given): members are written in name order. */
inline bool is_data(const std::string &frame, const std::string &id, const std::string &metric = "") {
  return frame.rfind("{\"check\":{\"id\":\"" + id + "\"," + (metric.empty() ? "" : "\"metric_name\":\"" + metric + "\","), 0) == 0;
}
inline bool is_error(const std::string &frame) { return frame.rfind("{\"error\"", 0) == 0; }
inline const std::string kHeartbeat = "{\"type\":\"heartbeat\"}";
inline std::string watch_of(const std::string &id, int period = 0, const std::string &more = "") {
  return "{\"watch\":[{\"id\":\"" + id + "\"" + (period ? ",\"period\":" + std::to_string(period) : "") + more + "}]}";
}
/* Times of bus lines: whole seconds from now on, one more for each call, so that no two payloads are
 * alike; the fraction .5 prints the same in a frame. */
inline std::string unique_time() {
  static std::atomic<long long> seq{std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count()};
  return std::to_string(seq++) + ".5";
}
/* A bus sample line of check (with its newline). */
inline std::string m_line(const std::string &check, const std::string &metric, const std::string &value,
                          const std::string &kind = "n", const std::string &time = unique_time()) {
  return "M\te2e-broker-01\t" + time + "\t" + check + "\t" + metric + "\t" + kind + "\t" + value + "\n";
}

struct Publisher {
  natsConnection *nc = nullptr;
  explicit Publisher(const std::string &url) { natsConnection_ConnectTo(&nc, url.c_str()); }
  ~Publisher() { natsConnection_Destroy(nc); }
  /* Publishes and flushes: the server has it on return. */
  bool pub(const std::string &payload, const std::string &subject = "vorn.metrics.test") {
    return nc && natsConnection_Publish(nc, subject.c_str(), payload.data(), (int) payload.size()) == NATS_OK &&
           natsConnection_FlushTimeout(nc, 10000) == NATS_OK;
  }
};

/* One service's configuration: extra elements inside <vorn-c>, vorn_extra inside <vorn>. */
struct VornConf {
  std::string bus = "nats://127.0.0.1:1", password = "secret", listener_attrs, vorn_extra, extra;
  int pg_port = 1;
};

/* One vorn-c process in the foreground, its log on stderr. */
struct Vorn {
  Child proc;
  int port = -1;
  /* Writes dir/name.conf with the lock file beside it; its path. */
  static std::string write_conf(const std::string &dir, const std::string &name, const VornConf &c) {
    std::string path = dir + "/" + name + ".conf";
    std::ofstream(path) << "<?xml version=\"1.0\"?>\n<vorn-c lockfile=\"" << dir << "/" << name << ".lock\">\n"
                        << "<logs><log name=\"error\" output=\"stderr\"/></logs><eventer><pool name=\"default\" threads=\"4\"/>"
                        << "</eventer>\n<listeners><listener address=\"127.0.0.1\" port=\"0\"" << c.listener_attrs
                        << "/></listeners><pools handle_pask_messages_in_jobq=\"true\"/>\n<network><in><mq><host>" << c.bus
                        << "</host><subject>vorn.metrics.></subject><reconnect_wait_ms>100</reconnect_wait_ms></mq></in>"
                        << "</network>\n<vorn>" << c.vorn_extra << "<wdb><host>127.0.0.1</host><port>" << c.pg_port
                        << "</port><database>wdb</database><user>vorn</user><password>" << c.password
                        << "</password></wdb></vorn>\n<harls><sslconfig/></harls>\n" << c.extra << "</vorn-c>\n";
    chmod(path.c_str(), 0644);
    return path;
  }
  /* Runs bin -D args -c conf; true once it reported its port and serves /stats.json. */
  bool start(const std::string &conf, std::string *err, std::vector<std::string> args = {},
             const std::string &bin = env_or("VORN_BINARY", "build/vorn-c")) {
    args.insert(args.begin(), {bin, "-D"}), args.insert(args.end(), {"-c", conf});
    proc.start(args, conf + ".out", conf + ".err");
    port = proc.await_port("listening on 127.0.0.1:", proc.err_path); /* the modules are ready once /stats.json answers */
    if (port > 0 && wait_until([&] { return get("/stats.json").status == 200; }, std::chrono::seconds(60))) return true;
    return *err = "vorn-c did not come up:\n" + tail(), false;
  }
  HttpReply get(const std::string &target) const { return http_get(port, target); }
  json::value stats() const {
    boost::system::error_code ec;
    json::value v = json::parse(get("/stats.json").body, ec);
    return ec ? json::value() : v;
  }
  int64_t stat(std::initializer_list<const char *> path) const { return vorn_test::stat(stats(), path); }
  std::string log() const { return proc.err(); }
  bool logged(const std::string &text) const {
    return wait_until([&] { return proc.err().find(text) != std::string::npos; });
  }
  /* The end of the log, or a sanitizer report from its start. */
  std::string tail() const {
    std::string t = proc.err();
    size_t at = std::min(t.find("==ERROR"), t.find("runtime error"));
    return at != std::string::npos ? t.substr(at, 12000) : t.substr(t.size() > 4000 ? t.size() - 4000 : 0);
  }
};

/* The stack of one test program, a gtest environment. kBrokerCheck is run by sim, kClosingCheck by
 * closing_sim (ends each connection after two samples), kDeadCheck's broker does not listen,
 * kUnknownCheck is not in the directory; the bus checks have no broker. */
class Stack : public ::testing::Environment {
 public:
  static inline const std::string kBrokerCheck = "0b1c4c2e-2d0a-4f8e-9a57-2b8f6d1c9e01",
                                  kBusCheck = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f11",
                                  kOtherBusCheck = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f12",
                                  kUnknownCheck = "99999999-1b5f-4c47-9a43-0e6a2e4c8f13",
                                  kDeadCheck = "d0d0d0d0-1b5f-4c47-9a43-0e6a2e4c8f14",
                                  kClosingCheck = "c1c1c1c1-1b5f-4c47-9a43-0e6a2e4c8f15", kSubject = "vorn.metrics.e2e";
  TempDir dir;
  PgCluster pg;
  nats_fixture nats;
  HarlSim sim, closing_sim;
  Vorn vorn;
  std::unique_ptr<Publisher> pub;
  VornConf conf;
  std::string setup_error; /* why the stack is not usable; empty when it is */

  explicit Stack(VornConf c = {}) : conf(std::move(c)) {}
  void SetUp() override {
    std::string e;
    if (!pg.start(&e) || !pg.create_database("wdb", &e) || !pg.create_login("vorn", conf.password, &e) ||
        !sim.start({"--heartbeat-ms", "300"}, &e) || !closing_sim.start({"--heartbeat-ms", "300", "--close-after", "2"}, &e) ||
        !pg.add_harl("wdb", 1, "127.0.0.1", std::to_string(sim.port()), &e) || !pg.add_check("wdb", kBrokerCheck, 1, &e) ||
        !pg.add_harl("wdb", 2, "127.0.0.1", std::to_string(free_loopback_port()), &e) || !pg.add_check("wdb", kDeadCheck, 2, &e) ||
        !pg.add_harl("wdb", 3, "127.0.0.1", std::to_string(closing_sim.port()), &e) || !pg.add_check("wdb", kClosingCheck, 3, &e) ||
        !nats.start() || (conf.bus = nats.url(), conf.pg_port = pg.port(), !vorn.start(Vorn::write_conf(dir.path(), "vorn-c", conf), &e)))
      return void(setup_error = "set-up failed: " + e + nats.error);
    pub = std::make_unique<Publisher>(nats.url()); /* the service subscribes in the background: publish until it counts one */
    if (!wait_until([&] { return publish(m_line(kOtherBusCheck, "warmup", "1")) && vorn.stat({"mq", "firehose"}) > 0; }))
      setup_error = "the service never took a bus message:\n" + vorn.tail();
  }
  /* Stops the service: it must end with 0 (under ASan: without a leak). */
  void TearDown() override {
    pub.reset();
    EXPECT_EQ(vorn.port > 0 ? 0 : -1, vorn.proc.stop()) << vorn.tail();
  }
  bool publish(const std::string &payload) { return pub && pub->pub(payload, kSubject); }
  json::value stats() const { return vorn.stats(); }
  /* A check of its own in the broker directory, run by the broker at 127.0.0.1:port. */
  std::string add_broker_check(int port) {
    static int id = 100;
    std::string uuid = "fa170000-0000-4000-8000-" + std::to_string(1000000000000LL + ++id).substr(1), e;
    EXPECT_TRUE(pg.add_harl("wdb", id, "127.0.0.1", std::to_string(port), &e) && pg.add_check("wdb", uuid, id, &e)) << e;
    return uuid;
  }
  /* Waits until no watch, stream or broker connection is left and "errors"/"total" is the sum of the
   * other counters, with no client error. */
  void expect_quiet() {
    json::value s;
    EXPECT_TRUE(wait_until([&] {
      s = stats();
      return stat(s, {"websocket", "watches", "check"}) == 0 && stat(s, {"websocket", "watches", "stream"}) == 0 &&
             stat(s, {"agents", "global", "connections"}) == 0 && stat(s, {"errors", "total"}) == error_sum(s);
    })) << json::serialize(s);
    EXPECT_EQ(0, stat(s, {"errors", "client"}));
  }
};

}  // namespace vorn_test
#endif
