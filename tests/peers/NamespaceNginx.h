#pragma once
// nginx with its RTMP module run in one network namespace from a peer
// directory, and reached from another; the namespaces are the caller's.
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

namespace rtmptest {

// Runs `command` through the shell, its output dropped; its exit status.
inline int sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// Starts nginx from `dir` in namespace `serverNs`, listening on `address`:1935
// with `serverSettings` after the chunk size and `liveSettings` in the live
// application; true once `clientNs` reaches the port, within five seconds.
inline bool startNamespaceNginx(const std::filesystem::path& dir, const std::string& serverNs,
                                const std::string& clientNs, const std::string& address,
                                const std::string& serverSettings = "", const std::string& liveSettings = "") {
  std::filesystem::create_directories(dir / "logs");
  const std::string log = (dir / "logs/error.log").string();
  std::ofstream(dir / "nginx.conf")
      << "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\ndaemon off;\nmaster_process off;\n"
      << "worker_processes 1;\nerror_log " << log << " info;\npid " << (dir / "logs/nginx.pid").string()
      << ";\nevents { worker_connections 64; }\nrtmp { server { listen " << address << ":1935; chunk_size 4096;"
      << serverSettings << "\n  application live { live on;" << liveSettings << " } } }\n";
  if (sh("ip netns exec " + serverNs + " nginx -e " + log + " -p " + dir.string() + "/ -c " +
         (dir / "nginx.conf").string() + " &"))
    return false;
  for (int i = 0; i < 50; ++i) {
    if (sh("ip netns exec " + clientNs + " timeout 1 bash -c '</dev/tcp/" + address + "/1935'") == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// The id nginx started from `dir` recorded; 0 when there is none.
inline pid_t namespaceNginxPid(const std::filesystem::path& dir) {
  pid_t pid = 0;
  std::ifstream(dir / "logs" / "nginx.pid") >> pid;
  return pid;
}

// Sends `signal` to nginx started from `dir`; whether it was sent.
inline bool signalNamespaceNginx(const std::filesystem::path& dir, int signal) {
  const pid_t pid = namespaceNginxPid(dir);
  return pid > 0 && ::kill(pid, signal) == 0;
}

// Ends nginx started from `dir`, woken first in case it was stopped.
inline void stopNamespaceNginx(const std::filesystem::path& dir) {
  if (pid_t pid = namespaceNginxPid(dir); pid > 0) ::kill(pid, SIGCONT), ::kill(pid, SIGTERM);
}

// Removes a peer's directory unless QZ_KEEP_PEERS is set.
inline void removePeerFiles(const std::filesystem::path& dir) {
  if (const char* keep = std::getenv("QZ_KEEP_PEERS"); !keep || !*keep) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
}

}  // namespace rtmptest
