#include "flow/dump_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "flow/front_end.h"
#include "flow/status.h"
#include "platform/debug_channel.h"

namespace quillon {
namespace {

// 0 or the errno of the first failing call.
int WriteWhole(const std::string& path, std::span<const std::uint8_t> bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      const int error = wrote < 0 ? errno : EIO;
      ::close(fd);
      return error;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace

bool SaveBytes(const std::string& path, std::span<const std::uint8_t> bytes) { return WriteWhole(path, bytes) == 0; }

int SaveDumpFile(const std::string& path, std::span<const std::uint8_t> bytes, const TraceScope& scope) {
  const int error = WriteWhole(path, bytes);
  if (error == 0) return 1;
  const std::string why = "cannot write the dump file " + path + ": " + std::strerror(error);
  std::fprintf(stderr, "quillon: %s\n", why.c_str());
  DebugPrint("%s\n", why.c_str());
  TraceFailure(scope, "Save Dump File Fail\n");
  PostFlowMessage(WM_FLOW_FAIL, msg::kSaveFileDataFail);
  return 0;
}

}  // namespace quillon
