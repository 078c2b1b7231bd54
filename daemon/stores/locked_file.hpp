// The front end's own small files in the state directory (the taught poses,
// the history): each is used under an open-file-description
// write lock on the file itself, waited for within a bound, and appended to
// or replaced the one way the state directory's files are (state/durable).
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "state/state_dir.hpp"

namespace armctl {

class locked_file {
 public:
  // Opens `name` (created empty, mode 0600, where missing) and holds its
  // lock, waiting at most `wait`; nothing when it cannot be opened or the
  // lock stays held. A file replaced while this waited is opened anew. A
  // name that is no plain file of its own (a second link, a link, a FIFO,
  // a directory) is given up at once, and `unsafe` (if given) says so: no
  // wait would change it.
  [[nodiscard]] static std::optional<locked_file> hold(const state_dir& dir, const char* name,
                                                       std::chrono::milliseconds wait,
                                                       bool* unsafe = nullptr);
  locked_file(locked_file&& other) noexcept;
  locked_file& operator=(locked_file&&) = delete;
  locked_file(const locked_file&) = delete;
  locked_file& operator=(const locked_file&) = delete;
  // Closes this process's descriptor; a fork that shares it keeps the lock.
  ~locked_file();

  // The whole content, at most `limit` bytes (false when longer or unreadable).
  [[nodiscard]] bool read(std::string& out, std::size_t limit) const;
  // The file's size in bytes; nothing when it cannot be known.
  [[nodiscard]] std::optional<std::size_t> size() const;
  // Appends `text` in one write and syncs it.
  [[nodiscard]] bool append(std::string_view text) const;
  // Replaces the file by one holding `text`, keeping its permission bits.
  [[nodiscard]] bool replace(std::string_view text) const;

 private:
  locked_file(const state_dir& dir, const char* name, int fd) : dir_(&dir), name_(name), fd_(fd) {}
  const state_dir* dir_;
  const char* name_;
  int fd_;
};

// The content of `name` without its lock (the file is only ever replaced
// whole or appended to); nothing when it is missing; `failed` when it cannot
// be read or is longer than `limit`.
struct file_text {
  bool exists = false;
  bool failed = false;
  std::string text;
};
[[nodiscard]] file_text read_state_file(const state_dir& dir, const char* name, std::size_t limit);

}  // namespace armctl
