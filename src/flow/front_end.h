// What the flows need from whichever front end runs them: the remembered
// device location, the window's device list and auto-run event, the command
// line's mode, and a listener for every flow notification. The window implements it in window mode, the batch
// mode on the command line; without either a plain in-memory one stands in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

struct ChipSnapshot;

// Where the chosen device sits: its port on the parent hub and the hub.
struct RememberedLocation {
  std::uint32_t portAddress = 0;
  std::string hubInstance;

  bool operator==(const RememberedLocation&) const = default;
};

// The window's list of candidate devices.
class DeviceListView {
 public:
  virtual ~DeviceListView() = default;
  virtual void Clear() = 0;
  virtual void Append(const std::string& text) = 0;
  virtual int Count() const = 0;
  virtual void Select(int index) = 0;
  // The entry's text, empty for an index outside the list.
  virtual std::string Text(int index) const = 0;
};

class FlowFrontEnd {
 public:
  virtual ~FlowFrontEnd() = default;

  // True while a batch operation runs (no window, console output).
  virtual bool CommandLineMode() const { return false; }
  // Every flow notification (status.h), with the chip as it was when posted:
  // the batch mode shows progress and its console lines from these.
  virtual void OnFlowMessage(std::uint32_t /*notification*/, std::uint32_t /*wParam*/, const ChipSnapshot& /*chip*/) {}
  // The device list of the window; null without one.
  virtual DeviceListView* DeviceList() { return nullptr; }
  virtual void ResetAutoRunEvent() {}
  virtual void SignalAutoRunEvent() {}

  RememberedLocation& Location() { return location_; }
  std::string& SelectionText() { return selectionText_; }

 private:
  RememberedLocation location_;
  std::string selectionText_;
};

// The process's front end: a plain one until the window or the batch mode
// installs its own.
FlowFrontEnd& TheFrontEnd();
// Installs `frontEnd` (nullptr restores the plain one); the caller keeps ownership.
void SetFrontEnd(FlowFrontEnd* frontEnd);

}  // namespace quillon
