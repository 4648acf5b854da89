// Standard output sent to a temporary file whose content can be read at any moment, for
// console tests that watch lines arrive (gtest's capture can only be read once, at its end).
#pragma once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace noxtest {

class StdoutFile {
 public:
  StdoutFile() = default;
  StdoutFile(const StdoutFile&) = delete;
  StdoutFile& operator=(const StdoutFile&) = delete;
  ~StdoutFile() { stop(); }

  // False when standard output could not be redirected.
  bool start() {
    char pattern[] = "/tmp/nox_console_out_XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) return false;
    path_ = pattern;
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const bool moved = saved_ >= 0 && dup2(fd, STDOUT_FILENO) == STDOUT_FILENO;
    close(fd);
    return moved;
  }

  // Standard output back where it was; the file removed.
  void stop() {
    if (path_.empty()) return;
    fflush(stdout);
    if (saved_ >= 0) {
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
      saved_ = -1;
    }
    unlink(path_.c_str());
    path_.clear();
  }

  std::string written() const {
    std::string text;
    if (FILE* in = fopen(path_.c_str(), "rb")) {
      char buffer[4096];
      for (size_t n; (n = fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, n);
      fclose(in);
    }
    return text;
  }

  // What was written since the last call.
  std::string fresh() {
    std::string all = written();
    std::string part = all.substr(seen_);
    seen_ = all.size();
    return part;
  }

 private:
  std::string path_;
  int saved_ = -1;
  size_t seen_ = 0;
};

}  // namespace noxtest
