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

// A program of any path started in `dir` (its working directory), with extra
// environment variables; the test waits for it when it needs the outcome, so
// that other processes can run meanwhile. `tag` keeps the output files of
// programs running side by side apart.
class StartedProgram {
 public:
  StartedProgram(const std::filesystem::path& dir, const std::filesystem::path& program, std::vector<std::string> args,
                 const std::vector<std::pair<std::string, std::string>>& env, const std::string& tag)
      : out_(dir / (".out-" + tag)), err_(dir / (".err-" + tag)) {
    std::string path = program.string();
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(dir.c_str()) != 0) ::_exit(126);
      const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, 1);
      ::dup2(err, 2);
      for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
      std::vector<char*> argv{path.data()};
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(path.c_str(), argv.data());
      ::_exit(127);
    }
  }
  ~StartedProgram() {
    if (pid_ > 0) Wait();
  }
  StartedProgram(const StartedProgram&) = delete;
  StartedProgram& operator=(const StartedProgram&) = delete;

  pid_t pid() const { return pid_; }

  ProcessResult Wait() {
    ProcessResult result;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadText(out_);
    result.err = ReadText(err_);
    std::filesystem::remove(out_);
    std::filesystem::remove(err_);
    return result;
  }

 private:
  std::filesystem::path out_, err_;
  pid_t pid_ = -1;
};

// Like RunProgram, for a program of any path started in `dir`, its working
// directory (where "burn_result.txt" goes); waits for it.
inline ProcessResult RunIn(const std::filesystem::path& dir, const std::filesystem::path& program,
                           std::vector<std::string> args,
                           const std::vector<std::pair<std::string, std::string>>& env) {
  return StartedProgram(dir, program, std::move(args), env, "run").Wait();
}

}  // namespace quillon::testing
