#pragma once
// A throw-away certificate authority and server certificates made with the
// openssl command line into a scratch folder, once per test process. Point
// SSL_CERT_FILE at caFile to trust them.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "Platform/Files/ScopedEnv.h"

namespace platform::testing {

struct TestCertificates {
  std::filesystem::path dir;
  std::filesystem::path caFile;       // the authority that signed the server certificates
  std::filesystem::path otherCaFile;  // an unrelated authority
  std::filesystem::path serverCert;   // for "localhost" and 127.0.0.1
  std::filesystem::path serverKey;
  std::filesystem::path nameOnlyCert;  // for "localhost" only, no IP address
  std::filesystem::path nameOnlyKey;
  bool ok = false;

  static const TestCertificates& shared() {
    static const TestCertificates certificates = makeIn(scratchDirectory("tls"));
    return certificates;
  }

 private:
  static bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

  static bool makeLeaf(const std::filesystem::path& dir, const std::string& name, const std::string& san) {
    const std::string d = dir.string() + "/";
    {
      std::ofstream ext(d + name + ".ext");
      ext << "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n"
          << "subjectAltName=" << san << "\n";
    }
    return run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost -keyout " +
               d + name + ".key -out " + d + name + ".csr") &&
           run("openssl x509 -req -in " + d + name + ".csr -CA " + d + "ca.pem -CAkey " + d +
               "ca.key -CAcreateserial -days 2 -sha256 -extfile " + d + name + ".ext -out " + d + name + ".pem");
  }

  static TestCertificates makeIn(const std::filesystem::path& dir) {
    TestCertificates c;
    c.dir = dir;
    const std::string d = c.dir.string() + "/";
    auto makeCa = [&](const std::string& name, const std::string& cn) {
      return run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj '/CN=" +
                 cn + "' -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign" +
                 " -keyout " + d + name + ".key -out " + d + name + ".pem");
    };
    c.ok = makeCa("ca", "Quarzadel Test CA") && makeCa("other-ca", "Unrelated Test CA") &&
           makeLeaf(c.dir, "server", "DNS:localhost,IP:127.0.0.1") &&
           makeLeaf(c.dir, "name-only", "DNS:localhost");
    c.caFile = dir / "ca.pem";
    c.otherCaFile = dir / "other-ca.pem";
    c.serverCert = dir / "server.pem";
    c.serverKey = dir / "server.key";
    c.nameOnlyCert = dir / "name-only.pem";
    c.nameOnlyKey = dir / "name-only.key";
    return c;
  }
};

}  // namespace platform::testing
