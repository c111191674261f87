#include "ui/station_panel.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

#include "app/parse_arg.h"
#include "app/progress_line.h"
#include "app/run_commit.h"
#include "app/run_record.h"
#include "data/settings.h"
#include "flow/status.h"
#include "platform/files.h"

namespace quillon {
bool LocationBefore(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
    if (digitA && digitB) {
      const std::size_t endA = a.find_first_not_of("0123456789", i);
      const std::size_t endB = b.find_first_not_of("0123456789", j);
      const std::string numA = a.substr(i, endA - i), numB = b.substr(j, endB - j);
      const std::string_view trimmedA = std::string_view(numA).substr(std::min(numA.find_first_not_of('0'), numA.size()));
      const std::string_view trimmedB = std::string_view(numB).substr(std::min(numB.find_first_not_of('0'), numB.size()));
      if (trimmedA.size() != trimmedB.size()) return trimmedA.size() < trimmedB.size();
      if (trimmedA != trimmedB) return trimmedA < trimmedB;
      i = endA == std::string::npos ? a.size() : endA;
      j = endB == std::string::npos ? b.size() : endB;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

StationPanel::StationPanel(PanelView& view, std::string toolVersionText, GangChipLister lister,
                           std::filesystem::path program)
    : view_(view), toolVersionText_(std::move(toolVersionText)), lister_(std::move(lister)), program_(std::move(program)) {}

StationPanel::~StationPanel() {
  // Never leave a worker writing a chip behind the window.
  for (Running& run : workers_) {
    if (run.worker.pid > 0 && !run.worker.ended) ::kill(run.worker.pid, SIGTERM);
    ReapGangWorker(run.worker, true);
    if (run.worker.progressFd >= 0) ::close(run.worker.progressFd);
  }
  std::error_code error;
  if (!workDir_.empty()) std::filesystem::remove_all(workDir_, error);
}

std::string PanelSummaryText(const std::vector<PanelTile>& tiles) {
  int inRun = 0, passed = 0, busy = 0, cancelled = 0;
  std::vector<const PanelTile*> failed;
  for (const PanelTile& tile : tiles) {
    switch (tile.state) {
      case TileState::Pass: ++passed; break;
      case TileState::Running: ++busy; break;
      case TileState::Cancelled: ++cancelled; break;
      case TileState::Fail: failed.push_back(&tile); break;
      default: continue;
    }
    ++inRun;
  }
  if (inRun == 0) return "";
  const std::string of = " of " + std::to_string(inRun) + " ";
  std::string text;
  if (!failed.empty()) {
    text = std::to_string(failed.size()) + of + "FAILED:";
    for (std::size_t i = 0; i < failed.size(); ++i) {
      text += (i == 0 ? " " : "; ") + failed[i]->location;
      if (!failed[i]->statusText.empty()) text += " " + failed[i]->statusText;
    }
  }
  // The first clause says "of N"; the ones after it only add their count.
  for (auto [count, word] : {std::pair{busy, "BUSY"}, std::pair{cancelled, "CANCELLED"}}) {
    if (count == 0) continue;
    text += text.empty() ? std::to_string(count) + of + word : " - " + std::to_string(count) + " " + word;
  }
  if (text.empty()) text = std::to_string(passed) + of + "PASSED";
  return text;
}

int PanelColumns(std::size_t tiles, int width, int tileMinWidth, int spacing) {
  if (tiles == 0) return 1;
  const int fit = std::max(1, (width + spacing) / std::max(1, tileMinWidth + spacing));
  const int count = static_cast<int>(std::min<std::size_t>(tiles, 1024));
  const int columns = std::min(count, fit);
  const int rows = (count + columns - 1) / columns;
  return (count + rows - 1) / rows;
}

void StationPanel::Init() {
  view_.SetTitle(std::string(kPanelTitle) + " " + toolVersionText_);
  image_ = LoadStationImage(GetSettingString("", kConfigSection, key::kImageFile));
  List();
  Show();
  view_.SingleShot(kPanelListMs, [this] { Watch(); });
}

void StationPanel::Watch() {
  if (ended_) return;
  if (!running() && !closing_) {
    const std::vector<PanelTile> before = tiles_;
    List();
    if (tiles_ != before) Show();
  }
  view_.SingleShot(kPanelListMs, [this] { Watch(); });
}

PanelTile* StationPanel::TileAt(const std::string& location) {
  for (PanelTile& tile : tiles_) {
    if (tile.location == location) return &tile;
  }
  return nullptr;
}

void StationPanel::List(bool afterRun) {
  const std::vector<GangChip> chips = lister_ ? lister_() : std::vector<GangChip>{};
  std::vector<bool> seen(tiles_.size(), false);
  for (const GangChip& chip : chips) {
    PanelTile* tile = TileAt(chip.location);
    if (tile == nullptr) {
      tiles_.push_back(PanelTile{chip.location, chip.identity, TileState::Idle, 0, "", true});
      seen.push_back(true);
      continue;
    }
    seen[static_cast<std::size_t>(tile - tiles_.data())] = true;
    // A unit that was not there before, or another product in its place, is
    // a new unit: the last one's verdict is not its own.
    if (!tile->present || tile->identity != chip.identity) *tile = PanelTile{chip.location, chip.identity, TileState::Idle, 0, "", true};
  }
  for (std::size_t i = 0; i < tiles_.size(); ++i) {
    PanelTile& tile = tiles_[i];
    if (seen[i]) continue;
    // A unit pulled between runs takes its verdict with it. One that fell off
    // the bus during its own run is still in the fixture, likely dead: it
    // keeps its FAIL until a unit shows up at that port again.
    if (tile.present && !afterRun) tile = PanelTile{tile.location, tile.identity, TileState::NoUnit, 0, "", false};
    tile.present = false;
    if (tile.state == TileState::Idle) tile.state = TileState::NoUnit;
  }
  std::sort(tiles_.begin(), tiles_.end(),
            [](const PanelTile& a, const PanelTile& b) { return LocationBefore(a.location, b.location); });
}

bool StationPanel::CanStart() const {
  const bool anyChip = std::any_of(tiles_.begin(), tiles_.end(), [](const PanelTile& tile) { return tile.present; });
  return !running() && !closing_ && !ended_ && image_ && image_->usable && anyChip;
}

void StationPanel::Show() {
  view_.ShowTiles(tiles_);
  view_.SetImageText(image_ ? image_->description : kPanelNeedsImage);
  view_.SetCountsText(SessionCountsText(passCount_, failCount_));
  const bool anyFail = std::any_of(tiles_.begin(), tiles_.end(), [](const PanelTile& t) { return t.state == TileState::Fail; });
  view_.SetSummaryText(PanelSummaryText(tiles_), anyFail);
  std::string status = statusText_;
  if (status.empty() && !image_) status = kPanelNeedsImage;
  if (status.empty() && image_ && !image_->usable) status = image_->description;
  if (status.empty() && !running() && !CanStart()) status = kPanelNoChip;
  view_.SetStatusText(status);
  view_.SetStartEnabled(CanStart());
}

void StationPanel::OnRefresh() {
  if (running() || closing_ || ended_) return;
  statusText_.clear();
  List();
  Show();
}

void StationPanel::OnStart() {
  if (running() || closing_ || ended_) return;
  statusText_.clear();
  List();
  if (!CanStart()) {
    Show();
    return;
  }
  if (std::string problem = PrepareGangRecords(); !problem.empty()) {
    statusText_ = problem;
    Show();
    return;
  }
  // No single-chip run may work on the bus while the gang does.
  runLocks_ = std::make_unique<RunLocks>();
  if (runLocks_->HoldForGang(0) != RunLockResult::kHeld) {
    runLocks_.reset();
    statusText_ = kPanelGangBusy;
    Show();
    return;
  }
  const std::optional<std::filesystem::path> work = MakeGangWorkDir();
  if (!work) {
    runLocks_.reset();
    statusText_ = "Cannot make a work directory for the workers";
    Show();
    return;
  }
  workDir_ = *work;
  anyRun_ = true;
  lastRunPassed_ = true;
  lastRunStatus_ = 0;
  cancelling_ = false;
  const std::vector<std::string> args{"-f", "-write", image_->path};
  std::error_code error;
  for (std::size_t i = 0; i < tiles_.size(); ++i) {
    PanelTile& tile = tiles_[i];
    tile.progress = 0;
    tile.statusText.clear();
    if (!tile.present) {
      tile.state = TileState::NoUnit;
      continue;
    }
    tile.state = TileState::Running;
    Running run;
    run.tile = i;
    run.worker.chip = GangChip{tile.location, tile.identity};
    run.worker.dir = workDir_ / std::to_string(i);
    std::filesystem::create_directory(run.worker.dir, error);
    if (!StartGangWorker(run.worker, program_, args, true)) {
      tile.state = TileState::Fail;
      tile.statusText = "the worker did not start";
      ++failCount_;
      lastRunPassed_ = false;
      continue;
    }
    workers_.push_back(std::move(run));
  }
  Show();
  if (running()) {
    view_.SingleShot(kPanelPollMs, [this] { Poll(); });
  } else {
    EndRun();
  }
}

void StationPanel::ReadProgress(Running& run) {
  if (run.worker.progressFd < 0) return;
  char buffer[1024];
  for (;;) {
    const ssize_t got = ::read(run.worker.progressFd, buffer, sizeof buffer);
    if (got <= 0) break;
    run.pending.append(buffer, static_cast<std::size_t>(got));
  }
  PanelTile& tile = tiles_[run.tile];
  for (std::size_t end = run.pending.find('\n'); end != std::string::npos; end = run.pending.find('\n')) {
    const std::string line = run.pending.substr(0, end);
    run.pending.erase(0, end + 1);
    // The bar only moves forward, though each of the run's operations starts again at 0.
    if (auto percent = GangProgressPercent(line, tile.location); percent && *percent > tile.progress) {
      tile.progress = *percent;
    }
  }
}

void StationPanel::Poll() {
  for (Running& run : workers_) {
    ReadProgress(run);
    if (!ReapGangWorker(run.worker, false)) continue;
    ReadProgress(run);
    if (run.worker.progressFd >= 0) ::close(run.worker.progressFd);
    run.worker.progressFd = -1;
    FinishWorker(run);
  }
  std::erase_if(workers_, [](const Running& run) { return run.worker.ended; });
  Show();
  if (running()) {
    view_.SingleShot(kPanelPollMs, [this] { Poll(); });
  } else {
    EndRun();
  }
}

void StationPanel::FinishWorker(Running& run) {
  PanelTile& tile = tiles_[run.tile];
  // A worker the operator stopped ended by the signal and left no record.
  if (cancelling_ && run.worker.exitCode < 0) {
    tile.state = TileState::Cancelled;
    tile.statusText = std::string(MessageText(msg::kRunCancelled).value_or(""));
    RecordCancel(run);
    lastRunPassed_ = false;
    if (lastRunStatus_ == 0) lastRunStatus_ = msg::kRunCancelled;
    return;
  }
  const GangRow row = FinishGangWorker(run.worker);
  tile.statusText = row.statusText;
  switch (row.verdict) {
    case GangVerdict::Pass:
      tile.state = TileState::Pass;
      tile.progress = 100;
      ++passCount_;
      return;
    case GangVerdict::Busy:
      // Another run has the chip: nothing is known about the unit.
      tile.state = TileState::Cancelled;
      tile.statusText = "BUSY: " + row.statusText;
      break;
    case GangVerdict::Fail:
      tile.state = TileState::Fail;
      if (row.statusId != 0) tile.statusText = std::to_string(row.statusId) + " " + row.statusText;
      ++failCount_;
      break;
  }
  lastRunPassed_ = false;
  if (lastRunStatus_ == 0) lastRunStatus_ = row.statusId != 0 ? row.statusId : msg::kRunCancelled;
}

void StationPanel::RecordCancel(const Running& run) {
  // The unit the worker opened, as it told; the listing's identity otherwise.
  const ChipSnapshot chip = WorkerSnapshot(run.worker);
  RunWork work;
  work.operation = "write";
  work.image = image_ ? image_->path : "";
  const auto bytes = ReadWholeFile(work.image);
  if (bytes) work.imageBytes = *bytes;
  work.durationMs = run.worker.durationMs;
  RunRecord record = BuildRunRecord(chip, RunOutcome{false, msg::kRunCancelled}, work);
  // A worker stopped before it opened its chip: the unit as the bus listed it.
  if (record.location.empty()) {
    record.location = run.worker.chip.location;
    record.identity = run.worker.chip.identity;
  }
  RunTexts texts;
  texts.burnLog = Setting(key::kLogType, 0) != 0;
  texts.burnSerial = BurnLogSerial(record, chip);
  // "Result.txt" is the panel's, written once when every worker has ended.
  if (CommitRun(record, texts, nullptr).burnFailed) statusText_ = "Can't Open burn_result.txt";
}

void StationPanel::EndRun() {
  runLocks_.reset();
  std::error_code error;
  std::filesystem::remove_all(workDir_, error);
  workDir_.clear();
  if (!FinishGangRecords(lastRunPassed_)) {
    statusText_ = "Result.txt does not hold this run's result";
    lastRunPassed_ = false;
  }
  if (closing_) {
    EndWindow();
    return;
  }
  List(true);
  // The line the operator reads, also for whoever watches the station's log.
  if (const std::string summary = PanelSummaryText(tiles_); !summary.empty()) {
    std::fprintf(stderr, "quillon: station: %s\n", summary.c_str());
  }
  Show();
}

void StationPanel::OnClose(CloseRequest how) {
  if (closing_ || ended_) return;
  if (running()) {
    // A stray Enter must not stop units half written.
    if (how == CloseRequest::Key) return;
    if (view_.Ask(kStopRunQuestion, "Warning!!") != Answer::Yes) return;
    if (closing_ || ended_ || !running()) {
      if (!closing_ && !ended_) EndWindow();
      return;
    }
    closing_ = true;
    cancelling_ = true;
    statusText_ = kStoppingText;
    for (Running& run : workers_) ::kill(run.worker.pid, SIGTERM);
    Show();
    return;  // the poll ends the window once every worker has gone
  }
  closing_ = true;
  EndWindow();
}

void StationPanel::EndWindow() {
  if (ended_) return;
  ended_ = true;
  // One rule for the exit code: 0 only when every chip of the last run passed.
  SetLastStatus(!anyRun_ ? msg::kRunCancelled : lastRunPassed_ ? 0 : lastRunStatus_);
  view_.EndWindow();
}

}  // namespace quillon
