// A simulated port that, when access is dropped, also appends the process's
// identities and capabilities to creds.log: what the run still holds after
// the grant.
#include <fcntl.h>
#include <fstream>
#include <string>
#include <unistd.h>

#include "motor/sim_port.hpp"

namespace armctl {
namespace {

class probe_port final : public port {
 public:
  explicit probe_port(const std::string& dir)
      : sim_(dir + "/" + port_log_name), creds_path_(dir + "/creds.log") {}
  bool grant() override { return sim_.grant(); }
  void write(std::uint8_t value) override { sim_.write(value); }
  bool drop() override {
    record_credentials();
    return sim_.drop();
  }

 private:
  void record_credentials() const {
    std::ifstream status("/proc/self/status");
    std::string text;
    for (std::string line; std::getline(status, line);)
      for (const char* field : {"Uid:", "Gid:", "Groups:", "CapPrm:", "CapEff:", "CapAmb:"})
        if (line.starts_with(field)) text += line + "\n";
    const int fd = ::open(creds_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0644);
    if (fd < 0) return;
    if (::write(fd, text.data(), text.size()) < 0) {
    }
    ::close(fd);
  }

  sim_port sim_;
  std::string creds_path_;
};

}  // namespace

std::unique_ptr<port> make_port(const char* state_dir) {
  return std::make_unique<probe_port>(state_dir);
}

}  // namespace armctl
