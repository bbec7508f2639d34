/* The broker simulator as a broker's client sees it, where other tests take it as their oracle: the frames of
 * each value kind, heartbeats, broken frames, closing after N frames, and the event log of who closed. */
#include "support/harl_sim_fixture.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>

#include <regex>

namespace {

namespace beast = boost::beast;
const char *kReq = "{\"check_uuid\":\"c1\",\"period_ms\":20";
std::string frame(const char *type, const char *kind, const std::string &member) {
  return std::string("{\"type\":\"") + type +
         "\",\"check_uuid\":\"c1\",\"timestamp_ms\":T,\"value_type\":\"" + kind +
         "\",\"stream_tags\":[\"sim:harl-sim\"]," + member + "}";
}

// what this proves: each value kind has its frame layout, a metrics list picks frames, heartbeats come
// unasked, broken frames precede each batch, --close-after closes after N sample frames, and the event log
// says who closed; bad options end it with status 2
TEST(HarlSim, FramesAndClosesAsOtherTestsExpect) {
  struct {
    std::vector<std::string> opts;
    std::string request;              // none when empty
    std::vector<std::string> frames;  // timestamps read as T
    const char *closed_by;
  } rows[] = {
      {{"--heartbeat-ms", "0", "--metrics", "n:n,i:i,s:s,o:o,z:z,h:h"},
       std::string(kReq) + "}",
       {frame("M", "n", "\"n\":5E-1"), frame("M", "i", "\"i\":0"), frame("M", "s", "\"s\":\"ok-0\""),
        frame("M", "o", "\"o\":{\"seq\":0,\"label\":\"sim\"}"), frame("M", "z", "\"z\":null"),
        frame("H", "h", "\"h\":[{\"bucket\":5E-1,\"count\":1},{\"bucket\":10,\"count\":1}]")},
       "peer"},
      {{"--heartbeat-ms", "0", "--close-after", "3"},
       std::string(kReq) + ",\"metrics\":[\"mem\",\"x\"]}",
       {frame("M", "i", "\"mem\":0"), frame("M", "n", "\"x\":5E-1"), frame("M", "i", "\"mem\":1")},
       "sim"},
      {{"--heartbeat-ms", "10"}, "", {"{\"type\":\"heartbeat\"}"}, "peer"},
      {{"--heartbeat-ms", "0", "--malformed"},
       std::string(kReq) + ",\"metrics\":[]}",
       {"{not json", "{\"value\":1}"},
       "peer"},
  };
  for (auto &r : rows) {
    SCOPED_TRACE(r.opts.back());
    vorn_test::HarlSim sim;
    std::string err;
    ASSERT_TRUE(sim.start(r.opts, &err)) << err;
    boost::asio::io_context io;  // the simulator speaks only after the upgrade and a request
    beast::websocket::stream<beast::tcp_stream> ws(io);
    ws.next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), (unsigned short) sim.port()});
    ws.set_option(beast::websocket::stream_base::decorator([](beast::websocket::request_type &q) {
      q.set(beast::http::field::sec_websocket_protocol, "harl_livestream");
    }));
    ws.handshake("127.0.0.1", "/livestream/");
    if (!r.request.empty()) ws.write(boost::asio::buffer(r.request));
    beast::flat_buffer buf;
    beast::error_code ec;
    auto read = [&] {  // bounded: the stream's timer ends the read
      ws.next_layer().expires_after(std::chrono::seconds(10));
      ws.async_read(buf, [&](beast::error_code e, size_t) { ec = e; });
      io.restart();
      io.run();
    };
    for (const std::string &want : r.frames) {
      read();
      ASSERT_FALSE(ec) << ec.message();
      EXPECT_EQ(std::regex_replace(beast::buffers_to_string(buf.data()), std::regex("\"timestamp_ms\":\\d+"),
                                   "\"timestamp_ms\":T"),
                want);
      buf.consume(buf.size());
    }
    bool sim_closes = std::string(r.closed_by) == "sim";
    if (sim_closes)
      read();  // the next frame is the close
    else
      ws.close(beast::websocket::close_code::normal);
    EXPECT_EQ(ec, sim_closes ? beast::error_code(beast::websocket::error::closed) : beast::error_code());
    auto closed = sim.wait_event([](auto &e) { return vorn_test::event_is(e, "close"); });
    EXPECT_EQ(closed["by"], r.closed_by);
  }
  std::string err;
  EXPECT_FALSE(vorn_test::HarlSim().start({"--heartbeat-ms", "-5"}, &err));
}

}  // namespace
