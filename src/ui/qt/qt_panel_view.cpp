#include "ui/qt/qt_panel_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/qt/tile_colour.h"

namespace quillon {
namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

constexpr int kTileWidth = 230;
constexpr int kVerdictHeight = 64;

}  // namespace

QtPanelView::QtPanelView() {
  auto* column = new QVBoxLayout(this);
  image_ = new QLabel(this);
  column->addWidget(image_);
  row_ = new QHBoxLayout();
  column->addLayout(row_);
  auto* buttons = new QHBoxLayout();
  start_ = new QPushButton("Start", this);
  start_->setDefault(false);
  start_->setAutoDefault(false);
  refresh_ = new QPushButton("Refresh", this);
  refresh_->setAutoDefault(false);
  counts_ = new QLabel(this);
  buttons->addWidget(start_);
  buttons->addWidget(refresh_);
  buttons->addStretch();
  buttons->addWidget(counts_);
  column->addLayout(buttons);
  status_ = new QLabel(this);
  status_->setWordWrap(true);
  column->addWidget(status_);
}

void QtPanelView::Attach(StationPanel* logic) {
  logic_ = logic;
  QObject::connect(start_, &QPushButton::clicked, [this] {
    if (logic_ != nullptr) logic_->OnStart();
  });
  QObject::connect(refresh_, &QPushButton::clicked, [this] {
    if (logic_ != nullptr) logic_->OnRefresh();
  });
}

QtPanelView::TileWidgets QtPanelView::MakeTile() {
  TileWidgets tile;
  tile.frame = new QWidget(this);
  tile.frame->setFixedWidth(kTileWidth);
  auto* layout = new QVBoxLayout(tile.frame);
  tile.place = new QLabel(tile.frame);
  tile.verdict = new QLabel(tile.frame);
  tile.verdict->setAlignment(Qt::AlignCenter);
  tile.verdict->setMinimumHeight(kVerdictHeight);
  QFont big = tile.verdict->font();
  big.setPixelSize(24);
  big.setBold(true);
  tile.verdict->setFont(big);
  tile.progress = new QProgressBar(tile.frame);
  tile.progress->setRange(0, 100);
  tile.status = new QLabel(tile.frame);
  tile.status->setWordWrap(true);
  for (QWidget* widget : {static_cast<QWidget*>(tile.place), static_cast<QWidget*>(tile.verdict),
                          static_cast<QWidget*>(tile.progress), static_cast<QWidget*>(tile.status)}) {
    layout->addWidget(widget);
  }
  layout->addStretch();
  row_->addWidget(tile.frame);
  return tile;
}

void QtPanelView::ShowTiles(const std::vector<PanelTile>& tiles) {
  while (tiles_.size() > tiles.size()) {
    delete tiles_.back().frame;
    tiles_.pop_back();
  }
  while (tiles_.size() < tiles.size()) tiles_.push_back(MakeTile());
  for (std::size_t i = 0; i < tiles.size(); ++i) {
    const PanelTile& tile = tiles[i];
    TileWidgets& shown = tiles_[i];
    shown.place->setText(Q(tile.location + "\n" + tile.identity));
    shown.verdict->setText(TileVerdictText(tile.state));
    PaintTile(shown.verdict, TileColour(tile.state));
    shown.progress->setValue(tile.progress);
    shown.status->setText(Q(tile.statusText));
  }
  adjustSize();
}

std::string QtPanelView::TileText(std::size_t index) const {
  return index < tiles_.size() ? tiles_[index].verdict->text().toStdString() : "";
}

int QtPanelView::TileProgress(std::size_t index) const {
  return index < tiles_.size() ? tiles_[index].progress->value() : -1;
}

bool QtPanelView::StartEnabled() const { return start_->isEnabled(); }

void QtPanelView::SetTitle(const std::string& title) { setWindowTitle(Q(title)); }
void QtPanelView::SetImageText(const std::string& text) { image_->setText(Q(text)); }
void QtPanelView::SetCountsText(const std::string& text) { counts_->setText(Q(text)); }
void QtPanelView::SetStatusText(const std::string& text) { status_->setText(Q(text)); }

void QtPanelView::SetStartEnabled(bool enabled) {
  start_->setEnabled(enabled);
  refresh_->setEnabled(enabled || (logic_ != nullptr && !logic_->running()));
  // One key for the next fixture.
  if (enabled) start_->setFocus(Qt::OtherFocusReason);
}

Answer QtPanelView::Ask(const std::string& text, const std::string& caption) { return AskQuestion(text, caption); }

void QtPanelView::SingleShot(std::uint32_t ms, std::function<void()> action) { RunLater(ms, std::move(action)); }

void QtPanelView::EndWindow() { Finish(); }

void QtPanelView::CloseRequested(CloseRequest how) {
  if (logic_ != nullptr) logic_->OnClose(how);
}

}  // namespace quillon
