#include "app/debug_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/shared_file.h"

namespace quillon {

DebugCapture::~DebugCapture() { Stop(); }

bool DebugCapture::Start(const std::filesystem::path& programDir) {
  if (Running()) return true;
  std::filesystem::path file = programDir / kDebugLogFileName;
  fd_ = OpenStationFile(file, O_WRONLY | O_CREAT | O_TRUNC);
  if (fd_ < 0) return false;
  stopLineQueued_ = false;
  AddDebugListener(this);
  // stdout carries only the batch mode's fixed texts, which scripts read.
  std::fprintf(stderr, "Tracing PID: %d\n", static_cast<int>(::getpid()));
  thread_ = std::thread([this] { Run(); });
  return true;
}

void DebugCapture::Stop() {
  if (!Running()) return;
  DebugPrint("%s", kDebugStopLine);
  {
    // The stop line is queued now: the thread writes what is queued and ends.
    std::lock_guard guard(mutex_);
    stopLineQueued_ = true;
  }
  arrived_.notify_one();
  thread_.join();
  RemoveDebugListener(this);
  ::close(fd_);
  fd_ = -1;
}

void DebugCapture::OnDebugLine(std::string_view line) {
  {
    std::lock_guard guard(mutex_);
    lines_.emplace_back(line);
  }
  arrived_.notify_one();
}

int DebugCapture::Run() {
  for (;;) {
    std::string line;
    {
      std::unique_lock guard(mutex_);
      arrived_.wait(guard, [this] { return !lines_.empty() || stopLineQueued_; });
      if (lines_.empty()) break;
      line = std::move(lines_.front());
      lines_.pop_front();
    }
    WriteLine(line);
  }
  return 0;
}

void DebugCapture::WriteLine(std::string_view line) {
  // Each write goes straight to the file, so a crash keeps every line before it.
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace quillon
