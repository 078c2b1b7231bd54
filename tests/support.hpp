// Shared test fixtures: a recording port, scratch directories, file helpers.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "motor/port.hpp"

namespace armctl::testing {

// Records every byte written; grant and drop can be made to fail, and a hook
// can run after each write (to raise a stop request at a chosen point).
class recording_port final : public port {
 public:
  bool grant() override;
  bool drop() override;
  void write(std::uint8_t value) override;

  std::vector<std::uint8_t> bytes;
  bool grant_ok = true;
  bool drop_ok = true;
  int grants = 0, drops = 0;
  std::function<void(std::size_t written)> after_write;
};

// A fresh directory under TMPDIR, removed with everything in it.
class scratch_dir {
 public:
  scratch_dir();
  ~scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& text);
// The file's content, or "<missing>" when it cannot be read.
std::string read_file(const std::string& path);
bool exists(const std::string& path);
void remove_tree(const std::string& path);
// The names in a directory, without . and ..
std::vector<std::string> list_dir(const std::string& path);
// Empties a directory but keeps it.
void clear_dir(const std::string& path);

// The port bytes of one write cycle of each pattern, strobe included.
std::vector<std::uint8_t> cycles(std::initializer_list<std::uint8_t> patterns);

}  // namespace armctl::testing
