// The station panel drawn with Qt Widgets: a row of verdict tiles, one per
// port, with Start, the session's counts and a status line. It only draws;
// StationPanel decides.
#pragma once

#include <vector>

#include "ui/qt/operator_dialog.h"
#include "ui/station_panel.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QHBoxLayout;

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

  // PanelView.
  void SetTitle(const std::string& title) override;
  void ShowTiles(const std::vector<PanelTile>& tiles) override;
  void SetImageText(const std::string& text) override;
  void SetCountsText(const std::string& text) override;
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

  StationPanel* logic_ = nullptr;
  QHBoxLayout* row_ = nullptr;
  std::vector<TileWidgets> tiles_;
  QLabel* image_ = nullptr;
  QLabel* counts_ = nullptr;
  QLabel* status_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* refresh_ = nullptr;
};

}  // namespace quillon
