/* End-to-end support: one whole stack per test program (PostgreSQL with the broker directory,
 * nats-server, two broker simulators and the service itself, each a real process on loopback),
 * plus blocking websocket and HTTP clients, a bus publisher and helpers for the statistics tree. */
#ifndef VORN_TEST_E2E_SUPPORT_H
#define VORN_TEST_E2E_SUPPORT_H

#include <gtest/gtest.h>

#include "support/child_death.h"
#include "support/harl_sim_fixture.h"
#include "support/nats_fixture.h"
#include "support/pg_fixture.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json.hpp>

#include <nats/nats.h>
#include <zlib.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
namespace json = boost::json;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

/* Checks of the stack. kBrokerCheck is run by the simulator, kBusCheck by no known broker,
 * kUnknownCheck is not in the directory, kDeadCheck's broker does not listen and kClosingCheck's
 * broker ends every connection after two samples. */
inline const std::string kBrokerCheck = "0b1c4c2e-2d0a-4f8e-9a57-2b8f6d1c9e01";
inline const std::string kBusCheck = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f11";
inline const std::string kOtherBusCheck = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f12";
inline const std::string kUnknownCheck = "99999999-1b5f-4c47-9a43-0e6a2e4c8f13";
inline const std::string kDeadCheck = "d0d0d0d0-1b5f-4c47-9a43-0e6a2e4c8f14";
inline const std::string kClosingCheck = "c1c1c1c1-1b5f-4c47-9a43-0e6a2e4c8f15";
inline const std::string kSubject = "vorn.metrics.e2e";

inline bool wait_until(const std::function<bool()> &pred,
                       std::chrono::milliseconds max = std::chrono::seconds(20)) {
  auto end = Clock::now() + max;
  while (!pred()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline std::string env_or(const char *name, const std::string &dflt) {
  const char *v = getenv(name);
  return v && *v ? v : dflt;
}

inline const std::string kHeartbeat = "{\"type\":\"heartbeat\"}";

/* The error frame the service sends, member for member. */
inline std::string error_frame(const std::string &error, const std::string &type, const char *id = nullptr,
                               int period = 0) {
  json::object o;
  o["error"] = error;
  if (id) o["id"] = id;
  if (period) o["period"] = period;
  o["type"] = type;
  return json::serialize(o);
}

/* The "check" object of a client data message, or nothing for any other frame. */
inline std::optional<json::object> data_of(const std::string &frame) {
  boost::system::error_code ec;
  json::value v = json::parse(frame, ec);
  if (ec || !v.is_object()) return std::nullopt;
  const json::value *c = v.as_object().if_contains("check");
  if (!c || !c->is_object()) return std::nullopt;
  return c->as_object();
}

/* A child process with its standard output and error in files; stopped by PID. */
struct Child {
  pid_t pid = -1;
  int status = -1; /* wait status once reaped */
  std::string out_path, err_path;

  Child() = default;
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  bool start(const std::vector<std::string> &args, const std::string &out, const std::string &err) {
    out_path = out;
    err_path = err;
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid = fork();
    if (pid == 0) {
      vorn_test::die_with_parent(parent);
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int n = open("/dev/null", O_RDONLY);
      if (o < 0 || e < 0 || n < 0) _exit(126);
      dup2(n, 0);
      dup2(o, 1);
      dup2(e, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    return pid > 0;
  }

  std::string out() const { return vorn_test::read_file_text(out_path); }
  std::string err() const { return vorn_test::read_file_text(err_path); }
  bool running() const { return pid > 0; }

  /* Waits for the exit; the exit code, -2 on timeout (the process then still runs), -1 when it
   * ended by a signal. */
  int wait_exit(std::chrono::milliseconds max = std::chrono::seconds(30)) {
    if (pid <= 0) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    bool done = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, max);
    if (!done) return -2;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  /* Signal, then wait; SIGKILL when it does not end in time. */
  int stop(int sig = SIGTERM, std::chrono::milliseconds max = std::chrono::seconds(30)) {
    if (pid <= 0) return -1;
    kill(pid, sig);
    int rc = wait_exit(max);
    if (rc == -2) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      pid = -1;
    }
    return rc;
  }
};

/* A blocking websocket client of the watch protocol. Every read gives up after 20 seconds. */
struct WsClient {
  asio::io_context ioc;
  websocket::stream<tcp::socket> ws{ioc};
  beast::error_code last_error; /* why the last read failed */

  bool open(int port, std::string *err = nullptr, const std::string &protocol = "vorn",
            const std::string &path = "/") {
    beast::error_code ec;
    ws.next_layer().connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)}, ec);
    if (ec) {
      if (err) *err = "connect: " + ec.message();
      return false;
    }
    struct timeval tv = {20, 0};
    setsockopt(ws.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ws.set_option(websocket::stream_base::decorator([protocol](websocket::request_type &r) {
      r.set(http::field::sec_websocket_protocol, protocol);
    }));
    ws.handshake("127.0.0.1:" + std::to_string(port), path, ec);
    if (ec) {
      if (err) *err = "handshake: " + ec.message();
      return false;
    }
    return true;
  }

  bool send(const std::string &text, bool binary = false) {
    beast::error_code ec;
    ws.binary(binary);
    ws.write(asio::buffer(text), ec);
    return !ec;
  }

  /* The next frame, or nullopt after an error, the timeout or the server's close. */
  std::optional<std::string> read() {
    beast::flat_buffer b;
    ws.read(b, last_error);
    if (last_error) return std::nullopt;
    return beast::buffers_to_string(b.data());
  }

  /* Sends text and gives back the next frame ("<no frame: why>" when there is none). */
  std::string ask(const std::string &text, bool binary = false) {
    if (!send(text, binary)) return "<send failed>";
    auto f = read();
    return f ? *f : "<no frame: " + last_error.message() + ">";
  }

  /* Every frame that arrives before the reply to a heartbeat sent now: since a session's frames
   * go out in the order they were queued, these are all that had been queued so far. */
  std::vector<std::string> drain() {
    std::vector<std::string> out;
    if (!send("{\"type\":\"heartbeat\"}")) {
      out.push_back("<send failed>");
      return out;
    }
    while (auto f = read()) {
      if (*f == "{\"type\":\"heartbeat\"}") return out;
      out.push_back(*f);
    }
    out.push_back("<no frame: " + last_error.message() + ">");
    return out;
  }

  /* Reads frames until one satisfies pred; the frames read before it go to skipped. */
  std::optional<std::string> read_until(const std::function<bool(const std::string &)> &pred,
                                        std::vector<std::string> *skipped = nullptr) {
    while (auto f = read()) {
      if (pred(*f)) return f;
      if (skipped) skipped->push_back(*f);
    }
    return std::nullopt;
  }

  void close() {
    beast::error_code ec;
    ws.close(websocket::close_code::normal, ec);
    /* Read up to the server's close so that the session has ended on both sides. */
    beast::flat_buffer b;
    while (!ec) ws.read(b, ec);
    ws.next_layer().close(ec);
  }
};

struct HttpReply {
  int status = 0;
  std::string content_type, body, error;
};

inline HttpReply http_get(int port, const std::string &target) {
  HttpReply out;
  asio::io_context ioc;
  tcp::socket sock(ioc);
  beast::error_code ec;
  sock.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)}, ec);
  if (ec) {
    out.error = "connect: " + ec.message();
    return out;
  }
  struct timeval tv = {20, 0};
  setsockopt(sock.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  http::request<http::empty_body> req{http::verb::get, target, 11};
  req.set(http::field::host, "127.0.0.1");
  http::write(sock, req, ec);
  beast::flat_buffer buf;
  http::response<http::string_body> res;
  if (!ec) http::read(sock, buf, res, ec);
  if (ec) {
    out.error = "request: " + ec.message();
    return out;
  }
  out.status = res.result_int();
  out.content_type = std::string(res[http::field::content_type]);
  out.body = res.body();
  /* Half-close and wait for the server's close: by then it no longer counts this connection, so a
   * test that fills the listener's places right after a statistics request finds them all free. */
  sock.shutdown(tcp::socket::shutdown_send, ec);
  char sink[512];
  while (::recv(sock.native_handle(), sink, sizeof sink, 0) > 0) {
  }
  return out;
}

/* The numeric value at a path of the statistics tree; -1 when it is absent or not a number. */
inline int64_t stat(const json::value &tree, std::initializer_list<const char *> path) {
  const json::value *v = &tree;
  for (const char *p : path) {
    const json::object *o = v->if_object();
    if (!o || !(v = o->if_contains(p))) return -1;
  }
  if (v->is_uint64()) return static_cast<int64_t>(v->as_uint64());
  if (v->is_int64()) return v->as_int64();
  return -1;
}

/* Sum of every error counter but "total". */
inline int64_t error_sum(const json::value &tree) {
  int64_t sum = 0;
  const json::object *errors = tree.is_object() && tree.as_object().if_contains("errors")
                                   ? tree.as_object().at("errors").if_object()
                                   : nullptr;
  if (!errors) return -1;
  for (const auto &kv : *errors)
    if (kv.key() != "total" && kv.value().is_number()) sum += kv.value().to_number<int64_t>();
  return sum;
}

inline std::string base64(const unsigned char *p, size_t n) {
  static const char tab[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = uint32_t(p[i]) << 16;
    if (i + 1 < n) v |= uint32_t(p[i + 1]) << 8;
    if (i + 2 < n) v |= p[i + 2];
    out += tab[(v >> 18) & 63];
    out += tab[(v >> 12) & 63];
    out += i + 1 < n ? tab[(v >> 6) & 63] : '=';
    out += i + 2 < n ? tab[v & 63] : '=';
  }
  return out;
}

/* A bundle payload of the given lines (without their newlines). */
inline std::string bundle(const std::vector<std::string> &lines, const std::string &time) {
  std::string text;
  for (size_t i = 0; i < lines.size(); i++) text += (i ? "\n" : "") + lines[i];
  uLongf len = compressBound(text.size());
  std::vector<unsigned char> out(len);
  compress(out.data(), &len, reinterpret_cast<const Bytef *>(text.data()), text.size());
  return "B\te2e-broker-01\t" + time + "\t" + std::to_string(lines.size()) + "\t" +
         base64(out.data(), len) + "\n";
}

/* The stack shared by the tests of one program. */
class Stack : public ::testing::Environment {
 public:
  vorn_test::TempDir dir;
  vorn_test::PgCluster pg;
  vorn_test::nats_fixture nats;
  vorn_test::HarlSim sim, closing_sim;
  Child vorn;
  int port = -1;               /* the service's listener */
  natsConnection *pub = nullptr; /* the test's own bus connection */
  std::string setup_error;     /* why the stack is not usable; empty when it is */
  uint64_t seq = 0;            /* makes every published payload unique */
  std::string extra_conf;      /* more configuration elements, set before the stack starts */
  std::string mq_extra;        /* more elements inside <mq>, set before the stack starts */

  void SetUp() override {
    std::string err;
    if (!start(&err)) setup_error = err.empty() ? "stack did not start" : err;
  }

  void TearDown() override {
    if (pub) {
      natsConnection_Destroy(pub);
      pub = nullptr;
    }
    if (vorn.running()) {
      int rc = vorn.stop(SIGTERM);
      if (rc != 0) {
        /* A sanitizer report starts with its own line; show it from there. */
        std::string text = vorn.err();
        size_t at = std::min(text.find("==ERROR"), text.find("runtime error"));
        ADD_FAILURE() << "vorn-c did not end with status 0 on SIGTERM (" << rc << "):\n"
                      << (at == std::string::npos ? tail(text) : text.substr(at, 12000));
      }
    }
  }

  static std::string tail(const std::string &s, size_t n = 4000) {
    return s.size() > n ? s.substr(s.size() - n) : s;
  }

  std::string log() const { return vorn.err(); }

  /* Publishes one payload on the bus and waits until the server has it. */
  bool publish(const std::string &payload) {
    if (!pub) return false;
    return natsConnection_Publish(pub, kSubject.c_str(), payload.data(), (int) payload.size()) == NATS_OK &&
           natsConnection_FlushTimeout(pub, 10000) == NATS_OK;
  }

  /* Seconds since the epoch with a millisecond fraction that differs between calls. */
  std::string unique_time() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
    long long t = ms + (long long) seq++;
    char buf[64];
    snprintf(buf, sizeof buf, "%lld.%03lld", t / 1000, t % 1000);
    return buf;
  }

  json::value stats() {
    HttpReply r = http_get(port, "/stats.json");
    boost::system::error_code ec;
    json::value v = json::parse(r.body, ec);
    return ec ? json::value() : v;
  }

 private:
  bool start(std::string *err) {
    if (dir.path().empty()) return *err = "mkdtemp failed", false;
    std::string bin = env_or("VORN_BINARY", "build/vorn-c");
    if (access(bin.c_str(), X_OK) != 0) return *err = "no service binary at " + bin, false;
    if (!pg.start(err)) return false;
    if (!pg.create_database("wdb", err) || !pg.create_login("vorn", "e2e-secret", err)) return false;
    if (!sim.start({"--heartbeat-ms", "300"}, err)) return false;
    if (!closing_sim.start({"--heartbeat-ms", "300", "--close-after", "2"}, err)) return false;
    int dead_port = vorn_test::pg_free_loopback_port();
    if (!pg.add_harl("wdb", 1, "127.0.0.1", std::to_string(sim.port()), err) ||
        !pg.add_check("wdb", kBrokerCheck, 1, err) ||
        !pg.add_harl("wdb", 2, "127.0.0.1", std::to_string(dead_port), err) ||
        !pg.add_check("wdb", kDeadCheck, 2, err) ||
        !pg.add_harl("wdb", 3, "127.0.0.1", std::to_string(closing_sim.port()), err) ||
        !pg.add_check("wdb", kClosingCheck, 3, err))
      return false;
    if (!nats.start()) return *err = nats.error, false;

    std::string conf = dir.path() + "/vorn-c.conf";
    {
      std::ofstream out(conf);
      out << "<?xml version=\"1.0\"?>\n<vorn-c lockfile=\"" << dir.path() << "/vorn-c.lock\">\n"
          << "  <logs><log name=\"error\" output=\"stderr\"/></logs>\n"
          << "  <eventer><pool name=\"default\" threads=\"4\"/></eventer>\n"
          << "  <listeners><listener address=\"127.0.0.1\" port=\"0\"/></listeners>\n"
          << "  <pools handle_pask_messages_in_jobq=\"true\"/>\n"
          << "  <network><in><mq><host>" << nats.url() << "</host><subject>vorn.metrics.></subject>"
          << mq_extra << "</mq></in></network>\n"
          << "  <vorn><wdb><host>127.0.0.1</host><port>" << pg.port()
          << "</port><database>wdb</database><user>vorn</user><password>e2e-secret</password>"
          << "</wdb></vorn>\n"
          << "  <harls><sslconfig/></harls>\n" << extra_conf << "</vorn-c>\n";
    }
    if (!vorn.start({bin, "-D", "-c", conf}, dir.path() + "/vorn.out", dir.path() + "/vorn.err"))
      return *err = "fork failed", false;
    const std::string marker = "listening on 127.0.0.1:";
    bool listening = wait_until([&] {
      std::string text = vorn.err();
      size_t at = text.find(marker);
      if (at == std::string::npos || text.find('\n', at) == std::string::npos) return false;
      port = atoi(text.c_str() + at + marker.size());
      return true;
    }, std::chrono::seconds(60));
    if (!listening || port <= 0) return *err = "vorn-c did not report its port:\n" + tail(vorn.err()), false;
    /* The listener opens before the modules; the statistics endpoint answers once they are ready. */
    if (!wait_until([&] { return http_get(port, "/stats.json").status == 200; }, std::chrono::seconds(60)))
      return *err = "vorn-c did not serve /stats.json:\n" + tail(vorn.err()), false;

    if (natsConnection_ConnectTo(&pub, nats.url().c_str()) != NATS_OK) return *err = "bus connect failed", false;
    /* The service subscribes to the bus in the background: publish until it has counted a message. */
    bool bus = wait_until([&] {
      publish("M\te2e-broker-01\t" + unique_time() + "\t" + kOtherBusCheck + "\twarmup\ti\t1\n");
      return stat(stats(), {"mq", "firehose"}) > 0;
    });
    if (!bus) return *err = "the service never took a bus message:\n" + tail(vorn.err()), false;
    return true;
  }
};

inline Stack *stack() {
  static Stack *s = static_cast<Stack *>(::testing::AddGlobalTestEnvironment(new Stack));
  return s;
}

/* Every test starts here: a usable stack with no watches left over. */
#define E2E_REQUIRE_STACK()                                                                        \
  do {                                                                                             \
    ASSERT_TRUE(e2e::stack()->setup_error.empty()) << e2e::stack()->setup_error;                   \
  } while (0)

}  // namespace e2e

#endif
