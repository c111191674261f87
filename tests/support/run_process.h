// Runs a program of the build (found through QUILLON_BIN_DIR) as a separate
// process with extra environment variables, and collects its output.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace quillon::testing {

struct ProcessResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

inline std::filesystem::path BinDir() {
  const char* dir = std::getenv("QUILLON_BIN_DIR");
  return dir != nullptr ? std::filesystem::path(dir) : std::filesystem::path(".");
}

inline std::string ReadText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// `timeoutSeconds` (0: none) ends a program that hangs with SIGALRM, which
// shows as exit code -1.
inline ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                                const std::vector<std::pair<std::string, std::string>>& env,
                                const std::filesystem::path& scratch, unsigned timeoutSeconds = 0) {
  std::filesystem::path outFile = scratch / ".stdout";
  std::filesystem::path errFile = scratch / ".stderr";
  std::string path = (BinDir() / program).string();
  pid_t pid = ::fork();
  if (pid == 0) {
    int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(err, 2);
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    if (timeoutSeconds != 0) ::alarm(timeoutSeconds);
    std::vector<char*> argv;
    argv.push_back(path.data());
    std::vector<std::string> copies = args;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(path.c_str(), argv.data());
    ::_exit(127);
  }
  ProcessResult result;
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadText(outFile);
  result.err = ReadText(errFile);
  std::filesystem::remove(outFile);
  std::filesystem::remove(errFile);
  return result;
}

}  // namespace quillon::testing
