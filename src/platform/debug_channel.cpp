#include "platform/debug_channel.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace quillon {
namespace {

struct Channel {
  std::mutex mutex;
  std::vector<DebugListener*> listeners;
};

Channel& TheChannel() {
  static Channel channel;
  return channel;
}

bool EchoToStderr() {
  const char* value = std::getenv("QUILLON_DEBUG");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace

void DebugPrint(const char* format, ...) {
  // One byte more than the longest output, plus room for CR LF and the NUL.
  char buffer[kDebugPrintMaxChars + 3];
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(buffer, kDebugPrintMaxChars + 1, format, args);
  va_end(args);
  std::size_t length = written < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(written), kDebugPrintMaxChars);
  while (length > 0 && std::isspace(static_cast<unsigned char>(buffer[length - 1]))) --length;
  buffer[length++] = '\r';
  buffer[length++] = '\n';
  buffer[length] = '\0';
  std::string_view line(buffer, length);

  if (EchoToStderr()) std::fwrite(buffer, 1, length, stderr);
  Channel& channel = TheChannel();
  std::lock_guard lock(channel.mutex);
  for (DebugListener* listener : channel.listeners) listener->OnDebugLine(line);
}

void AddDebugListener(DebugListener* listener) {
  Channel& channel = TheChannel();
  std::lock_guard lock(channel.mutex);
  channel.listeners.push_back(listener);
}

void RemoveDebugListener(DebugListener* listener) {
  Channel& channel = TheChannel();
  std::lock_guard lock(channel.mutex);
  std::erase(channel.listeners, listener);
}

}  // namespace quillon
