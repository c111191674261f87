// What the update window's logic needs from whatever draws it: control texts,
// visibility and enabling, the progress bar and result colour, questions and
// messages, the password box, single-shot timers and a queue onto the window's
// own thread. The Qt dialog implements it; tests use a fake.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/prompt.h"

namespace quillon {

// The window's controls by their template ids.
enum class Control : int {
  ImageText = 1000,
  Browser = 1001,
  Start = 1003,
  GetVersion = 1004,
  LoopTotal = 1009,
  LoopLeft = 1011,
  Result = 1016,
  SerialText = 1028,
  VersionText = 1030,
  Progress = 1031,
  StatusText = 1033,
  DeviceList = 1050,
  ChipInfo = 1069,
  LoopLabel = 1071,
  PasswordEdit = 1137,
  DeviceListLabel = 1143,
  Hidden1188 = 1188,
  StatusLabel = 1189,
  // The line's additions: the session's counts and where the unit sits.
  SessionCounts = 2001,
  UnitLocation = 2002,
  // Where a barcode scanner types the next unit's serial ("SaveSN").
  SerialEntry = 2003,
};

struct Rgb {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  bool operator==(const Rgb&) const = default;
};

class WindowView {
 public:
  virtual ~WindowView() = default;

  virtual void SetTitle(const std::string& title) = 0;
  virtual void SetText(Control control, const std::string& text) = 0;
  // The control's text as the operator left it (the loop total field).
  virtual std::string Text(Control control) const = 0;
  virtual void SetVisible(Control control, bool visible) = 0;
  virtual void SetEnabled(Control control, bool enabled) = 0;
  virtual void SetProgress(int percent) = 0;
  // The colour of the verdict tile (the result control).
  virtual void SetResultColour(Rgb colour) = 0;
  // Keyboard focus to the control (Start after a run: Space starts the next).
  virtual void SetFocus(Control control) = 0;
  // The big bold font of the result control and the opening layout moves.
  virtual void ApplyOpeningLayout() = 0;

  virtual void SetDeviceList(const std::vector<std::string>& entries, int selected) = 0;

  virtual Answer Ask(const std::string& text, const std::string& caption) = 0;
  virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
  // The password box; false when the operator cancelled it.
  virtual bool AskPassword(const std::string& title, std::string& text) = 0;

  // Runs `action` once on the window's thread after `ms` milliseconds.
  virtual void SingleShot(std::uint32_t ms, std::function<void()> action) = 0;
  // Queues `action` onto the window's thread; callable from any thread.
  virtual void PostToSelf(std::function<void()> action) = 0;
  // Ends the window (the dialog returns).
  virtual void EndWindow() = 0;
};

}  // namespace quillon
