#pragma once
// A throw-away certificate authority and server certificates made with the
// openssl command line into the build tree, once per test process. Point
// SSL_CERT_FILE at caFile to trust them.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

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
    static const TestCertificates certificates = make();
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

  static void setPaths(TestCertificates& c) {
    c.caFile = c.dir / "ca.pem";
    c.otherCaFile = c.dir / "other-ca.pem";
    c.serverCert = c.dir / "server.pem";
    c.serverKey = c.dir / "server.key";
    c.nameOnlyCert = c.dir / "name-only.pem";
    c.nameOnlyKey = c.dir / "name-only.key";
  }

  // Test processes share one set per day (valid for two). A set is made aside and
  // renamed into place, and never replaced, so parallel tests never see a
  // half-written or changing one.
  static TestCertificates make() {
    namespace fs = std::filesystem;
    const char* base = std::getenv("QZ_BINARY_DIR");
    const fs::path root = fs::path(base && *base ? base : "/tmp") / "test-tls";
    const auto day = std::chrono::duration_cast<std::chrono::hours>(
                         std::chrono::system_clock::now().time_since_epoch()).count() / 24;
    TestCertificates c;
    c.dir = root / ("day-" + std::to_string(day));
    setPaths(c);
    std::error_code ec;
    if (fs::exists(c.dir / "complete", ec)) {
      c.ok = true;
      return c;
    }
    TestCertificates fresh = makeIn(root / ("new-" + std::to_string(::getpid())));
    if (!fresh.ok) return fresh;
    fs::rename(fresh.dir, c.dir, ec);
    if (ec) {
      // Another process installed its set first.
      fs::remove_all(fresh.dir, ec);
      c.ok = fs::exists(c.dir / "complete", ec);
      return c;
    }
    // Sets of earlier days are no longer valid for long.
    for (const auto& entry : fs::directory_iterator(root, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("day-", 0) == 0 && name < "day-" + std::to_string(day - 1)) fs::remove_all(entry.path(), ec);
    }
    c.ok = true;
    return c;
  }

  static TestCertificates makeIn(const std::filesystem::path& dir) {
    TestCertificates c;
    c.dir = dir;
    std::filesystem::remove_all(c.dir);
    std::filesystem::create_directories(c.dir);
    const std::string d = c.dir.string() + "/";
    auto makeCa = [&](const std::string& name, const std::string& cn) {
      return run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj '/CN=" +
                 cn + "' -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign" +
                 " -keyout " + d + name + ".key -out " + d + name + ".pem");
    };
    c.ok = makeCa("ca", "Quarzadel Test CA") && makeCa("other-ca", "Unrelated Test CA") &&
           makeLeaf(c.dir, "server", "DNS:localhost,IP:127.0.0.1") &&
           makeLeaf(c.dir, "name-only", "DNS:localhost");
    setPaths(c);
    if (c.ok) std::ofstream(c.dir / "complete") << "ok\n";
    return c;
  }
};

}  // namespace platform::testing
