/* Test support: a throwaway self-signed certificate (EC P-256, CN localhost, SANs localhost and 127.0.0.1) as
 * PEM files in a fresh directory under /tmp, for TLS listeners and clients. */
#pragma once
#include <cstdlib>
#include <string>
struct test_cert { /* empty when generation failed */
  std::string dir, cert_file, key_file;
};
inline test_cert test_cert_make() {
  char tmpl[] = "/tmp/vorn-cert-XXXXXX";
  std::string d = mkdtemp(tmpl) ? tmpl : "";
  std::string cmd =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=localhost "
      "-addext subjectAltName=DNS:localhost,IP:127.0.0.1 -addext basicConstraints=critical,CA:TRUE -keyout " +
      d + "/key.pem -out " + d + "/cert.pem > " + d + "/openssl.log 2>&1";
  return !d.empty() && system(cmd.c_str()) == 0 ? test_cert{d, d + "/cert.pem", d + "/key.pem"} : test_cert{};
}
