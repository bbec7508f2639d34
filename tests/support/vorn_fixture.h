/* Test support: the vorn-c process (configuration, start, readiness, stop by PID, statistics), bus
 * publishing, the service's frames, and the stack of one test program: PostgreSQL, nats-server, two broker
 * simulators, the service. */
#pragma once
#include "support/client.h"
#include "support/harl_sim_fixture.h"
#include "support/nats_fixture.h"
#include "support/pg_fixture.h"
#include <gtest/gtest.h>
#include <nats/nats.h>
namespace vorn_test {
namespace json = boost::json;
using std::string;
/* The number at a path of the statistics tree; -1 when absent or not a number. */
inline int64_t stat(const json::value &tree, std::initializer_list<const char *> path) {
  const json::value *v = &tree;
  for (const char *p : path) v = v && v->is_object() ? v->as_object().if_contains(p) : nullptr;
  return v && v->is_uint64() ? (int64_t) v->as_uint64() : v && v->is_int64() ? v->as_int64() : -1;
}
/* Sum of the error counters other than "total". */
inline int64_t error_sum(const json::value &tree, int64_t sum = 0) {
  for (const auto &kv : tree.at("errors").as_object())
    sum += kv.key() == "total" ? 0 : kv.value().to_number<int64_t>();
  return sum;
}
/* The frames the service sends, member for member; data frames write their members in name order. */
inline string error_frame(const string &error, const string &type, const string &id = "", int period = 0) {
  return "{\"error\":" + json::serialize(json::string(error)) + (id.empty() ? "" : ",\"id\":\"" + id + "\"") +
         (period ? ",\"period\":" + std::to_string(period) : "") + ",\"type\":\"" + type + "\"}";
}
inline bool is_data(const string &frame, const string &id, const string &metric = "") {
  const string member = metric.empty() ? "" : "\"metric_name\":\"" + metric + "\",";
  return frame.starts_with("{\"check\":{\"id\":\"" + id + "\"," + member);
}
inline bool is_error(const string &frame) { return frame.starts_with("{\"error\""); }
inline const string kHeartbeat = "{\"type\":\"heartbeat\"}";
inline string watch_of(const string &id, int period = 0, const string &more = "") {
  return "{\"watch\":[{\"id\":\"" + id + "\"" + (period ? ",\"period\":" + std::to_string(period) : "") +
         more + "}]}";
}
/* Times of bus lines: whole seconds from now on, one more per call, so that no two payloads are alike. */
inline string unique_time() {
  static std::atomic<long long> s{time(nullptr)};
  return std::to_string(s++) + ".5";
}
inline string m_line(const string &check, const string &metric, const string &value, const string &kind = "n",
                     const string &time = unique_time()) {
  return "M\te2e-broker-01\t" + time + "\t" + check + "\t" + metric + "\t" + kind + "\t" + value + "\n";
}
struct Publisher { /* A bus connection that publishes and flushes: the server has the payload on return. */
  natsConnection *nc = nullptr;
  explicit Publisher(const string &url) { natsConnection_ConnectTo(&nc, url.c_str()); }
  ~Publisher() { natsConnection_Destroy(nc); }
  bool pub(const string &payload, const string &subject = "vorn.metrics.test") {
    return nc &&
           natsConnection_Publish(nc, subject.c_str(), payload.data(), (int) payload.size()) == NATS_OK &&
           natsConnection_FlushTimeout(nc, 10000) == NATS_OK;
  }
};
struct VornConf { /* extra elements go inside <vorn-c>, vorn_extra inside <vorn> */
  string bus = "nats://127.0.0.1:1", password = "secret", listener_attrs, vorn_extra, extra;
  int pg_port = 1;
};
/* One vorn-c in the foreground, its log on stderr; write_conf gives dir/name.conf, the lock beside it. */
struct Vorn {
  Child proc;
  int port = -1;
  static string write_conf(const string &dir, const string &name, const VornConf &c) {
    string path = dir + "/" + name + ".conf";
    std::ofstream(path)
        << "<vorn-c lockfile=\"" << dir << "/" << name
        << ".lock\">\n<logs><log name=\"error\" output=\"stderr\"/></logs>"
        << "<eventer><pool name=\"default\" threads=\"4\"/></eventer>\n<listeners><listener "
           "address=\"127.0.0.1\" port=\"0\""
        << c.listener_attrs
        << "/></listeners><pools handle_pask_messages_in_jobq=\"true\"/>\n<network><in><mq><host>" << c.bus
        << "</host><subject>vorn.metrics.></subject><reconnect_wait_ms>100</reconnect_wait_ms></mq></in></"
           "network>\n<vorn>"
        << c.vorn_extra << "<wdb><host>127.0.0.1</host><port>" << c.pg_port
        << "</port><database>wdb</database><user>vorn"
        << "</user><password>" << c.password << "</password></wdb></vorn>\n<harls><sslconfig/></harls>\n"
        << c.extra << "</vorn-c>\n";
    chmod(path.c_str(), 0644);
    return path;
  }
  /* Runs bin -D args -c conf; true once it reported its port and serves /stats.json (modules ready). */
  bool start(const string &conf, string *err, std::vector<string> args = {},
             const string &bin = env_or("VORN_BINARY", "build/vorn-c")) {
    args.insert(args.begin(), {bin, "-D"});
    args.insert(args.end(), {"-c", conf});
    proc.start(args, conf + ".out", conf + ".err");
    port = proc.await_port("listening on 127.0.0.1:", proc.err_path);
    if (port > 0 && wait_until([&] { return get("/stats.json").status == 200; }, std::chrono::seconds(60)))
      return true;
    *err = "vorn-c did not come up:\n" + tail();
    return false;
  }
  HttpReply get(const string &target) const { return http_get(port, target); }
  json::value stats() const {
    boost::system::error_code ec;
    json::value v = json::parse(get("/stats.json").body, ec);
    return ec ? nullptr : v;
  }
  int64_t stat(std::initializer_list<const char *> path) const { return vorn_test::stat(stats(), path); }
  string log() const { return proc.err(); }
  bool logged(const string &text) const {
    return wait_until([&] { return log().find(text) != string::npos; });
  }
  string tail() const { /* the end of the log, or a sanitizer report from its start */
    string t = log();
    size_t at = std::min(t.find("==ERROR"), t.find("runtime error"));
    return at != string::npos ? t.substr(at, 12000) : t.substr(t.size() > 4000 ? t.size() - 4000 : 0);
  }
};
/* The stack of one test program, a gtest environment. kBrokerCheck is run by sim, kUnknownCheck is not in the
 * directory; the bus checks have no broker. */
class Stack : public ::testing::Environment {
 public:
  static inline const string kBrokerCheck = "0b1c4c2e-2d0a-4f8e-9a57-2b8f6d1c9e01",
                             kBusCheck = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f11",
                             kOtherBusCheck = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f12",
                             kUnknownCheck = "99999999-1b5f-4c47-9a43-0e6a2e4c8f13",
                             kSubject = "vorn.metrics.e2e";
  TempDir dir;
  PgCluster pg;
  nats_fixture nats;
  HarlSim sim;
  Vorn vorn;
  std::unique_ptr<Publisher> pub;
  VornConf conf;
  string setup_error; /* why the stack is not usable; empty when it is */
  explicit Stack(VornConf c = {}) : conf(std::move(c)) {}
  void SetUp() override {
    string e;
    if (!pg.start(&e) || !pg.create_database("wdb", &e) || !pg.create_login("vorn", conf.password, &e) ||
        !sim.start({"--heartbeat-ms", "300"}, &e) ||
        !pg.add_harl("wdb", 1, "127.0.0.1", std::to_string(sim.port()), &e) ||
        !pg.add_check("wdb", kBrokerCheck, 1, &e) || !nats.start() ||
        (conf.bus = nats.url(), conf.pg_port = pg.port(),
         !vorn.start(Vorn::write_conf(dir.path(), "vorn-c", conf), &e)))
      return void(setup_error = "set-up failed: " + e + nats.error);
    /* the service subscribes in the background: publish until it counts one */
    pub = std::make_unique<Publisher>(nats.url());
    if (!wait_until([&] {
          return publish(m_line(kOtherBusCheck, "warmup", "1.5")) && vorn.stat({"mq", "firehose"}) > 0;
        }))
      setup_error = "the service never took a bus message:\n" + vorn.tail();
  }
  /* Stops the service, which must end with 0 (under ASan: without a leak). */
  void TearDown() override {
    pub.reset();
    EXPECT_EQ(vorn.port > 0 ? 0 : -1, vorn.proc.stop()) << vorn.tail();
  }
  bool publish(const string &payload) { return pub && pub->pub(payload, kSubject); }
  /* A check of its own in the directory, run by the broker at 127.0.0.1:port. */
  string add_broker_check(int port) {
    static int id = 100;
    string uuid = "fa170000-0000-4000-8000-" + std::to_string(1000000000000LL + ++id).substr(1), e;
    EXPECT_TRUE(pg.add_harl("wdb", id, "127.0.0.1", std::to_string(port), &e) &&
                pg.add_check("wdb", uuid, id, &e))
        << e;
    return uuid;
  }
  /* Waits until no watch, stream or broker connection is left, "errors"/"total" is the sum, "client" 0. */
  void expect_quiet() {
    json::value s;
    EXPECT_TRUE(wait_until([&] {
      s = vorn.stats();
      return stat(s, {"websocket", "watches", "check"}) == 0 &&
             stat(s, {"websocket", "watches", "stream"}) == 0 &&
             stat(s, {"agents", "global", "connections"}) == 0 &&
             stat(s, {"errors", "total"}) == error_sum(s) && stat(s, {"errors", "client"}) == 0;
    })) << json::serialize(s);
  }
};
} // namespace vorn_test
