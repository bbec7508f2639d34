/* The Debian package built with cpack from the built tree, unpacked into a scratch root and run from there.
 */
#include "support/vorn_fixture.h"

using namespace vorn_test;
namespace fs = std::filesystem;

namespace {
/* Runs a shell command; its exit status, with its output in *out. */
int run(const std::string &cmd, const std::string &dir, std::string *out) {
  int rc = system((cmd + " > " + dir + "/cmd.out 2>&1").c_str());
  *out = read_file_text(dir + "/cmd.out");
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}
} // namespace

// what this proves: the .deb declares its runtime dependencies and installs a binary that links nothing of
// the build tree, starts from the packaged example configuration and schema and serves /health and /metrics
TEST(Package, BuildUnpackAndRun) {
  const std::string build = fs::path(env_or("VORN_BINARY", "build/vorn-c")).parent_path().string();
  ASSERT_TRUE(fs::exists(build + "/CPackConfig.cmake")) << build;
  TempDir tmp;
  const std::string d = tmp.path(), root = d + "/root";
  std::string out, deb;
  ASSERT_EQ(0, run("cpack -G DEB -B " + d + "/pkg --config " + build + "/CPackConfig.cmake", d, &out)) << out;
  for (const auto &e : fs::directory_iterator(d + "/pkg"))
    deb = e.path().extension() == ".deb" ? e.path().string() : deb;
  ASSERT_EQ(0, run("dpkg-deb -f " + deb + " Package Depends", d, &out)) << out;
  EXPECT_EQ(0u, out.find("Package: vorn-c\n")) << out;
  for (const char *lib : {"libnats", "libpq5", "libssl3", "libpugixml", "liburcu", "libwslay",
                          "libboost-json1.81", "zlib1g", "adduser"})
    EXPECT_NE(std::string::npos, out.find(lib)) << lib << ":\n" << out;
  ASSERT_EQ(0, run("dpkg-deb -x " + deb + " " + root, d, &out)) << out;
  for (const char *f : {"usr/bin/vorn-watch", "usr/lib/systemd/system/vorn-c.service"})
    EXPECT_TRUE(fs::exists(root + "/" + f)) << f;
  const std::string vorn = root + "/usr/bin/vorn-c";
  ASSERT_EQ(0, run("ldd " + vorn, d, &out)) << out;
  EXPECT_EQ(std::string::npos, out.find("not found")) << out;
  EXPECT_EQ(std::string::npos, out.find(build)) << out;
  PgCluster pg;
  nats_fixture nats;
  std::string err;
  ASSERT_TRUE(pg.start(&err) && pg.create_database("vorn", &err, root + "/usr/share/vorn-c/db/schema.sql") &&
              pg.create_login("vorn", "secret", &err))
      << err;
  ASSERT_TRUE(nats.start()) << nats.error;
  std::string conf = read_file_text(root + "/usr/share/vorn-c/etc/vorn-c.conf");
  for (auto [from, to] : {std::pair<std::string, std::string>{"port=\"8080\"", "port=\"0\""},
                          {"nats://127.0.0.1:4222", nats.url()},
                          {"<port>5432</port>", "<port>" + std::to_string(pg.port()) + "</port>"},
                          {"/run/vorn-c/vorn-c.lock", d + "/vorn-c.lock"}}) {
    ASSERT_NE(std::string::npos, conf.find(from)) << from;
    conf.replace(conf.find(from), from.size(), to);
  }
  std::ofstream(d + "/vorn-c.conf") << conf;
  Vorn v;
  ASSERT_TRUE(v.start(d + "/vorn-c.conf", &err, {}, vorn)) << err;
  EXPECT_TRUE(wait_until([&] { return v.get("/health").status == 200; })) << v.tail();
  EXPECT_NE(std::string::npos, v.get("/metrics").body.find("\nvorn_requests_total ")) << v.tail();
  EXPECT_EQ(0, v.proc.stop()) << v.tail();
}
