// Every test process gets a runtime directory of its own, so that the
// machine-wide command lock of one test (or of the programs it starts, which
// inherit the variable) never makes a test running beside it wait.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

class IsolatedRuntimeDir {
 public:
  IsolatedRuntimeDir() {
    // A test binary that re-executes itself (same process id) keeps the directory it made.
    const char* owner = std::getenv("QUILLON_TEST_RUNTIME_OWNER");
    const char* current = std::getenv("XDG_RUNTIME_DIR");
    if (owner != nullptr && current != nullptr && std::atol(owner) == static_cast<long>(::getpid())) {
      dir_ = current;
      owner_ = ::getpid();
      return;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "quillon-runtime-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    dir_ = pattern;
    owner_ = ::getpid();
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    ::setenv("QUILLON_TEST_RUNTIME_OWNER", std::to_string(owner_).c_str(), 1);
  }
  ~IsolatedRuntimeDir() {
    // Forked children exit through _exit, but be sure only the creator removes it.
    if (dir_.empty() || ::getpid() != owner_) return;
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

 private:
  std::string dir_;
  pid_t owner_ = 0;
};

const IsolatedRuntimeDir kIsolatedRuntimeDir;

}  // namespace
