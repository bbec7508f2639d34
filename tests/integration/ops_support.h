/* Operations tests' support: starts a vorn-c process with a configuration of its own (bus URLs,
 * broker database, free listener port) and waits until it serves requests. Builds on the child
 * process, HTTP and websocket clients of the end-to-end support. */
#ifndef VORN_TEST_OPS_SUPPORT_H
#define VORN_TEST_OPS_SUPPORT_H

#include "e2e_support.h"

#include <fstream>
#include <string>

namespace ops {

struct Instance {
  e2e::Child proc;
  int port = -1;
  std::string dir; /* holds the configuration, lock file and output */
  std::string name;

  /* Writes <dir>/<name>.conf and starts bin with it in the foreground; true once the listener's
   * port is known and /stats.json answers 200. */
  bool start(const std::string &bin, const std::string &dir_, const std::string &name_, const std::string &bus_urls,
             int pg_port, const std::string &db, const std::string &user, const std::string &password,
             std::string *err) {
    dir = dir_;
    name = name_;
    std::string conf = dir + "/" + name + ".conf";
    {
      std::ofstream out(conf);
      out << "<?xml version=\"1.0\"?>\n<vorn-c lockfile=\"" << dir << "/" << name << ".lock\">\n"
          << "  <logs><log name=\"error\" output=\"stderr\"/></logs>\n"
          << "  <eventer><pool name=\"default\" threads=\"2\"/></eventer>\n"
          << "  <listeners><listener address=\"127.0.0.1\" port=\"0\"/></listeners>\n"
          << "  <network><in><mq><host>" << bus_urls << "</host><subject>vorn.metrics.></subject>"
          << "<reconnect_wait_ms>100</reconnect_wait_ms></mq></in></network>\n"
          << "  <vorn><wdb><host>127.0.0.1</host><port>" << pg_port << "</port><database>" << db
          << "</database><user>" << user << "</user><password>" << password << "</password></wdb></vorn>\n"
          << "  <harls><sslconfig/></harls>\n</vorn-c>\n";
    }
    return launch(bin, conf, err);
  }

  /* Starts bin with an existing configuration file. */
  bool launch(const std::string &bin, const std::string &conf, std::string *err) {
    if (!proc.start({bin, "-D", "-c", conf}, dir + "/" + name + ".out", dir + "/" + name + ".err"))
      return *err = "fork failed", false;
    const std::string marker = "listening on 127.0.0.1:";
    bool listening = e2e::wait_until([&] {
      std::string text = proc.err();
      size_t at = text.find(marker);
      if (at == std::string::npos || text.find('\n', at) == std::string::npos) return false;
      port = atoi(text.c_str() + at + marker.size());
      return true;
    }, std::chrono::seconds(60));
    if (!listening || port <= 0) return *err = name + " did not report its port:\n" + log(), false;
    if (!e2e::wait_until([&] { return e2e::http_get(port, "/stats.json").status == 200; }, std::chrono::seconds(60)))
      return *err = name + " did not serve /stats.json:\n" + log(), false;
    return true;
  }

  std::string log() const { return e2e::Stack::tail(proc.err()); }

  e2e::HttpReply get(const std::string &target) const { return e2e::http_get(port, target); }

  int64_t stat(std::initializer_list<const char *> path) const {
    boost::system::error_code ec;
    boost::json::value v = boost::json::parse(get("/stats.json").body, ec);
    return ec ? -1 : e2e::stat(v, path);
  }
};

/* Seconds since the epoch with a millisecond fraction that differs between calls. */
inline std::string unique_time() {
  static long long seq = 0;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
  long long t = ms + seq++;
  char buf[64];
  snprintf(buf, sizeof buf, "%lld.%03lld", t / 1000, t % 1000);
  return buf;
}

/* A bus publisher connected to one server. */
struct Publisher {
  natsConnection *nc = nullptr;
  explicit Publisher(const std::string &url) { natsConnection_ConnectTo(&nc, url.c_str()); }
  ~Publisher() { natsConnection_Destroy(nc); }
  Publisher(const Publisher &) = delete;
  Publisher &operator=(const Publisher &) = delete;
  bool ok() const { return nc != nullptr; }
  bool pub(const std::string &payload, const std::string &subject = "vorn.metrics.ops") {
    return nc && natsConnection_Publish(nc, subject.c_str(), payload.data(), (int) payload.size()) == NATS_OK &&
           natsConnection_FlushTimeout(nc, 10000) == NATS_OK;
  }
};

inline std::string m_line(const std::string &check, const std::string &time, const std::string &metric,
                          const std::string &value) {
  return "M\tops-broker\t" + time + "\t" + check + "\t" + metric + "\ti\t" + value + "\n";
}

} // namespace ops

#endif
