/* Test support: a throwaway self-signed certificate (EC P-256, CN localhost, SANs localhost and
 * 127.0.0.1) written as PEM files into a fresh temporary directory, for TLS listeners and clients. */
#ifndef VORN_TEST_CERT_H
#define VORN_TEST_CERT_H

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <string>

struct test_cert {
  std::string dir, cert_file, key_file; /* empty when generation failed */
};

inline bool test_cert_write(const std::string &path, X509 *x, EVP_PKEY *k) {
  FILE *f = fopen(path.c_str(), "w");
  if (!f) return false;
  bool ok = x ? PEM_write_X509(f, x) == 1 : PEM_write_PrivateKey(f, k, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  return fclose(f) == 0 && ok;
}

/* Makes the certificate; the files stay until the process ends (the directory is under /tmp). */
inline test_cert test_cert_make() {
  test_cert tc;
  char tmpl[] = "/tmp/vorn-cert-XXXXXX";
  if (!mkdtemp(tmpl)) return tc;
  EVP_PKEY *key = EVP_EC_gen("P-256");
  X509 *x = X509_new();
  bool ok = key && x;
  if (ok) {
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, key);
    X509_NAME *name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *)"localhost", -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, x, x, nullptr, nullptr, 0);
    X509_EXTENSION *san = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    X509_EXTENSION *bc = X509V3_EXT_conf_nid(nullptr, &v3, NID_basic_constraints, "critical,CA:TRUE");
    ok = san && bc && X509_add_ext(x, san, -1) && X509_add_ext(x, bc, -1) && X509_sign(x, key, EVP_sha256()) > 0;
    X509_EXTENSION_free(san);
    X509_EXTENSION_free(bc);
  }
  std::string d = tmpl;
  if (ok && test_cert_write(d + "/cert.pem", x, nullptr) && test_cert_write(d + "/key.pem", nullptr, key)) {
    tc.dir = d;
    tc.cert_file = d + "/cert.pem";
    tc.key_file = d + "/key.pem";
  }
  X509_free(x);
  EVP_PKEY_free(key);
  return tc;
}

#endif
