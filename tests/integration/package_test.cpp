/* The Debian package: packs the already built tree with cpack (no rebuild), checks the control
 * data and the layout, unpacks it into a scratch root and runs the unpacked service from there with
 * the packaged example configuration pointed at a throwaway nats-server and PostgreSQL. */
#include "ops_support.h"

#include "support/nats_fixture.h"
#include "support/pg_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

/* Runs a shell command with its output in a file; the exit status and the output. */
int run(const std::string &cmd, const std::string &out_path, std::string *out) {
  int rc = system((cmd + " > " + out_path + " 2>&1").c_str());
  *out = vorn_test::read_file_text(out_path);
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
  return s;
}

} // namespace

// what this proves: the .deb declares its runtime library dependencies, installs the documented
// layout, and the unpacked binary prints its usage, starts from the packaged example
// configuration, serves /stats.json, /metrics and /health, survives SIGHUP and ends with 0 on SIGTERM
TEST(Package, BuildUnpackAndRun) {
  std::string bin = e2e::env_or("VORN_BINARY", "build/vorn-c");
  std::string build = fs::path(bin).parent_path().string();
  ASSERT_TRUE(fs::exists(build + "/CPackConfig.cmake")) << "no CPack configuration in " << build;
  vorn_test::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string d = dir.path();
  std::string out;

  ASSERT_EQ(run("cpack -G DEB -B " + d + "/pkg --config " + build + "/CPackConfig.cmake", d + "/cpack.log", &out), 0) << out;
  std::string deb;
  for (const auto &e : fs::directory_iterator(d + "/pkg"))
    if (e.path().extension() == ".deb") deb = e.path().string();
  ASSERT_FALSE(deb.empty()) << out;

  ASSERT_EQ(run("dpkg-deb -f " + deb + " Package Architecture Depends", d + "/control.txt", &out), 0) << out;
  EXPECT_NE(out.find("Package: vorn-c"), std::string::npos) << out;
  for (const char *lib : {"libnats", "libpq5", "libssl3", "libpugixml", "liburcu", "libwslay", "libboost-json1.81", "zlib1g", "adduser"})
    EXPECT_NE(out.find(lib), std::string::npos) << "Depends lacks " << lib << ":\n" << out;

  const std::string root = d + "/root";
  ASSERT_EQ(run("dpkg-deb -x " + deb + " " + root, d + "/x.log", &out), 0) << out;
  for (const char *f : {"usr/bin/vorn-c", "usr/bin/vorn-watch", "usr/lib/vorn-c/harl-sim", "usr/lib/vorn-c/pask-pub",
                        "usr/share/vorn-c/etc/vorn-c.conf", "usr/share/vorn-c/etc/vorn-c.service",
                        "usr/share/vorn-c/db/schema.sql", "usr/lib/systemd/system/vorn-c.service",
                        "usr/share/doc/vorn-c/operations.md"})
    EXPECT_TRUE(fs::exists(root + "/" + f)) << f;
  ASSERT_EQ(run("dpkg-deb -e " + deb + " " + d + "/ctl", d + "/e.log", &out), 0) << out;
  struct stat st {};
  ASSERT_EQ(stat((d + "/ctl/postinst").c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR);

  const std::string vorn = root + "/usr/bin/vorn-c";
  ASSERT_EQ(run("ldd " + vorn, d + "/ldd.txt", &out), 0) << out;
  EXPECT_EQ(out.find("not found"), std::string::npos) << out;
  EXPECT_EQ(out.find(build), std::string::npos) << "links against the build tree:\n" << out;
  EXPECT_EQ(run(vorn, d + "/usage.txt", &out), 2);
  EXPECT_NE(out.find("-c conffile"), std::string::npos) << out;

  /* The packaged example configuration, with only the addresses and secrets of this test. */
  vorn_test::PgCluster pg;
  std::string err;
  ASSERT_TRUE(pg.start(&err)) << err;
  ASSERT_TRUE(pg.create_database("vorn", &err, root + "/usr/share/vorn-c/db/schema.sql")) << err;
  ASSERT_TRUE(pg.create_login("vorn", "secret", &err)) << err;
  vorn_test::nats_fixture nats;
  ASSERT_TRUE(nats.start()) << nats.error;
  std::string conf = vorn_test::read_file_text(root + "/usr/share/vorn-c/etc/vorn-c.conf");
  ASSERT_NE(conf.find("port=\"8080\""), std::string::npos);
  conf = replace_all(conf, "port=\"8080\"", "port=\"0\"");
  conf = replace_all(conf, "nats://127.0.0.1:4222", nats.url());
  conf = replace_all(conf, "<port>5432</port>", "<port>" + std::to_string(pg.port()) + "</port>");
  conf = replace_all(conf, "/run/vorn-c/vorn-c.lock", d + "/vorn-c.lock");
  { std::ofstream(d + "/vorn-c.conf") << conf; }

  ops::Instance v;
  v.dir = d;
  v.name = "packaged";
  ASSERT_TRUE(v.launch(vorn, d + "/vorn-c.conf", &err)) << err;
  EXPECT_TRUE(e2e::wait_until([&] { return v.get("/health").status == 200; })) << v.log();
  e2e::HttpReply m = v.get("/metrics");
  EXPECT_EQ(m.status, 200);
  EXPECT_NE(m.body.find("\nvorn_requests_total "), std::string::npos) << m.body;
  EXPECT_GE(v.stat({"errors", "total"}), 0);

  kill(v.proc.pid, SIGHUP);
  EXPECT_TRUE(e2e::wait_until([&] { return v.proc.err().find("SIGHUP, reopening log files") != std::string::npos; }))
      << v.log();
  EXPECT_EQ(v.get("/stats.json").status, 200) << "still serving after SIGHUP";
  EXPECT_EQ(v.proc.stop(SIGTERM), 0) << v.log();
}
