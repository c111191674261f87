// The station panel drawn with Qt Widgets: a grid of verdict tiles, one per
// port, as many to a row as the screen holds, with a summary line that names
// every FAIL, Start, the session's counts and a status line. It only draws;
// StationPanel decides. The tiles scroll if a fixture outgrows the screen;
// the lines below them never leave it.
#pragma once

#include <vector>

#include "ui/qt/operator_dialog.h"
#include "ui/station_panel.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QGridLayout;
class QScrollArea;

namespace quillon {

class QtPanelView final : public OperatorDialog, public PanelView {
 public:
  QtPanelView();

  void Attach(StationPanel* logic);

  // What the tile at `index` shows (for tests): its verdict text and progress.
  std::string TileText(std::size_t index) const;
  int TileProgress(std::size_t index) const;
  std::size_t TileCount() const { return tiles_.size(); }
  bool StartEnabled() const;
  int Columns() const { return columns_; }
  QWidget* TileWidget(std::size_t index) const { return index < tiles_.size() ? tiles_[index].frame : nullptr; }
  QLabel* CountsLabel() const { return counts_; }
  QLabel* SummaryLabel() const { return summary_; }

  // PanelView.
  void SetTitle(const std::string& title) override;
  void ShowTiles(const std::vector<PanelTile>& tiles) override;
  void SetImageText(const std::string& text) override;
  void SetCountsText(const std::string& text) override;
  void SetSummaryText(const std::string& text, bool failed) override;
  void SetStatusText(const std::string& text) override;
  void SetStartEnabled(bool enabled) override;
  Answer Ask(const std::string& text, const std::string& caption) override;
  void SingleShot(std::uint32_t ms, std::function<void()> action) override;
  void EndWindow() override;

 protected:
  void CloseRequested(CloseRequest how) override;

 private:
  struct TileWidgets {
    QWidget* frame = nullptr;
    QLabel* place = nullptr;
    QLabel* verdict = nullptr;
    QProgressBar* progress = nullptr;
    QLabel* status = nullptr;
  };
  TileWidgets MakeTile();
  // Places the tiles in rows that fit the screen and sizes the window to
  // hold them, within the screen.
  void Arrange();
  QRect Room() const;

  StationPanel* logic_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QWidget* tileArea_ = nullptr;
  QGridLayout* grid_ = nullptr;
  std::vector<TileWidgets> tiles_;
  int columns_ = 0;
  QLabel* image_ = nullptr;
  QLabel* summary_ = nullptr;
  QLabel* counts_ = nullptr;
  QLabel* status_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* refresh_ = nullptr;
};

}  // namespace quillon
