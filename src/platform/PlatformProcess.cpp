// Running the system's own tools (certutil, security) for the platform layer: no shell, no
// inherited input, output collected.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/PlatformDetail.h"

extern char** environ;

bool programOnPath(const char* name) {
  const char* path = getenv("PATH");
  if (name == nullptr || path == nullptr) return false;
  std::string list = path;
  for (size_t at = 0; at <= list.size();) {
    size_t end = list.find(':', at);
    if (end == std::string::npos) end = list.size();
    std::string dir = list.substr(at, end - at);
    if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    at = end + 1;
  }
  return false;
}

int runProgram(const std::vector<std::string>& argv, std::string* output) {
  std::string ignored;
  if (output == nullptr) output = &ignored;
  output->clear();
  if (argv.empty()) return -1;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    *output = std::string("pipe: ") + strerror(errno);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    *output = argv[0] + ": " + strerror(spawned);
    return -1;
  }
  char buffer[4096];
  for (;;) {
    ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output->size() < 64 * 1024) output->append(buffer, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
