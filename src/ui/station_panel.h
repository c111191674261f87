// The station panel: the operator's window for a fixture of several chips.
// One tile per port shows the chip there, its own progress and its verdict;
// Start writes every chip at once through the gang's worker processes, and
// the panel reads their progress lines and run records. No widget here: a
// PanelView draws it, and everything runs on the window's thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/gang_mode.h"
#include "platform/prompt.h"
#include "platform/run_locks.h"
#include "ui/update_window.h"
#include "ui/window_view.h"

namespace quillon {

inline constexpr const char* kPanelTitle = "USB Audio FW Update Tool - Station";
inline constexpr const char* kPanelNeedsImage = "The station panel writes the image named by the setting ImageFile";
inline constexpr const char* kPanelGangBusy = "Another run holds this station; try again when it has ended";
inline constexpr const char* kPanelNoChip = "No accepted chip on the bus";
// How often a running panel reads its workers' lines and exits.
inline constexpr std::uint32_t kPanelPollMs = 50;
// How often an idle panel looks at the bus, so that a unit pulled or plugged
// between runs shows as such without a Refresh.
inline constexpr std::uint32_t kPanelListMs = 300;
// The narrowest a tile may be and still show a unit's identity on one line.
inline constexpr int kPanelTileMinWidth = 210;
inline constexpr int kPanelTileSpacing = 6;


struct PanelTile {
  std::string location;
  std::string identity;
  TileState state = TileState::Idle;
  int progress = 0;
  std::string statusText;
  bool present = true;

  bool operator==(const PanelTile&) const = default;
};

// The one line under the tiles that names every failed unit, so that none is
// missed on a fixture wider than a glance: "1 of 8 FAILED: 7-1 41533 USB Link
// Fail!", "8 of 8 PASSED", "3 of 8 BUSY". Counts only the tiles that are part
// of a run; empty when none is.
std::string PanelSummaryText(const std::vector<PanelTile>& tiles);

// Port order as the numbers run (2-1 before 10-1, 1-1.2 before 1-1.10), so
// that the tiles stand in the order of the fixture's ports.
bool LocationBefore(const std::string& a, const std::string& b);

// How many tiles go in a row: as many as `width` pixels hold, then evened out
// over the rows it takes (5 tiles where 4 fit: rows of 3 and 2, not 4 and 1).
int PanelColumns(std::size_t tiles, int width, int tileMinWidth = kPanelTileMinWidth,
                 int spacing = kPanelTileSpacing);


class PanelView {
 public:
  virtual ~PanelView() = default;
  virtual void SetTitle(const std::string& title) = 0;
  virtual void ShowTiles(const std::vector<PanelTile>& tiles) = 0;
  virtual void SetImageText(const std::string& text) = 0;
  virtual void SetCountsText(const std::string& text) = 0;
  // `failed`: the line names a FAIL and is painted as one.
  virtual void SetSummaryText(const std::string& text, bool failed) = 0;
  virtual void SetStatusText(const std::string& text) = 0;
  virtual void SetStartEnabled(bool enabled) = 0;
  virtual Answer Ask(const std::string& text, const std::string& caption) = 0;
  // Runs `action` once on the window's thread after `ms` milliseconds.
  virtual void SingleShot(std::uint32_t ms, std::function<void()> action) = 0;
  virtual void EndWindow() = 0;
};

class StationPanel {
 public:
  // `lister` gives the accepted chips on the bus; `program` is what the workers run.
  StationPanel(PanelView& view, std::string toolVersionText, GangChipLister lister, std::filesystem::path program);
  ~StationPanel();

  void Init();
  // Writes every chip on the bus; during a run it does nothing.
  void OnStart();
  // Lists the bus again (between runs).
  void OnRefresh();
  // A key never closes a running panel; the close box asks, then stops every worker.
  void OnClose(CloseRequest how = CloseRequest::CloseBox);

  bool running() const { return !workers_.empty(); }
  bool ended() const { return ended_; }
  const std::vector<PanelTile>& tiles() const { return tiles_; }
  int passCount() const { return passCount_; }
  int failCount() const { return failCount_; }

 private:
  struct Running {
    GangWorker worker;
    std::size_t tile = 0;
    std::string pending;  // a partial stderr line
  };

  // Reads the bus and binds each tile to the unit at its port: a unit that
  // left takes its verdict with it, one that arrived is READY. `afterRun`: a
  // unit that fell off the bus during its run (a power loss, a reset that
  // never came back) keeps the verdict the run made for it.
  void List(bool afterRun = false);
  // Between runs, looks at the bus every kPanelListMs.
  void Watch();
  PanelTile* TileAt(const std::string& location);
  void Poll();
  // Reads what the worker wrote; true when its stream has ended.
  void ReadProgress(Running& run);
  void FinishWorker(Running& run);
  // The record of a worker stopped by the operator: a cancel, not a chip fault.
  void RecordCancel(const Running& run);
  void EndRun();
  void EndWindow();
  void Show();
  bool CanStart() const;

  PanelView& view_;
  std::string toolVersionText_;
  GangChipLister lister_;
  std::filesystem::path program_;
  std::optional<StationImage> image_;
  std::vector<PanelTile> tiles_;
  std::vector<Running> workers_;
  std::unique_ptr<RunLocks> runLocks_;
  std::filesystem::path workDir_;
  std::string statusText_;
  bool cancelling_ = false;
  bool closing_ = false;
  bool ended_ = false;
  bool anyRun_ = false;
  bool lastRunPassed_ = false;
  std::uint32_t lastRunStatus_ = 0;
  int passCount_ = 0;
  int failCount_ = 0;
};

}  // namespace quillon
