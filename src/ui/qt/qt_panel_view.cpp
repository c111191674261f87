#include "ui/qt/qt_panel_view.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

#include "ui/qt/tile_colour.h"

namespace quillon {
namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

constexpr int kVerdictHeight = 64;
// What the window manager adds around the window, before it has said so.
constexpr QSize kFrameGuess{16, 40};

}  // namespace

QtPanelView::QtPanelView() {
  auto* column = new QVBoxLayout(this);
  image_ = new QLabel(this);
  image_->setWordWrap(true);
  column->addWidget(image_);
  scroll_ = new QScrollArea(this);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setWidgetResizable(true);
  tileArea_ = new QWidget(scroll_);
  grid_ = new QGridLayout(tileArea_);
  grid_->setSpacing(kPanelTileSpacing);
  scroll_->setWidget(tileArea_);
  column->addWidget(scroll_, 1);
  summary_ = new QLabel(this);
  summary_->setWordWrap(true);
  summary_->setMargin(4);
  QFont summaryFont = summary_->font();
  summaryFont.setPixelSize(18);
  summaryFont.setBold(true);
  summary_->setFont(summaryFont);
  column->addWidget(summary_);
  auto* buttons = new QHBoxLayout();
  start_ = new QPushButton("Start", this);
  start_->setDefault(false);
  start_->setAutoDefault(false);
  refresh_ = new QPushButton("Refresh", this);
  refresh_->setAutoDefault(false);
  counts_ = new QLabel(this);
  QFont countsFont = counts_->font();
  countsFont.setBold(true);
  counts_->setFont(countsFont);
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
  tile.frame = new QWidget(tileArea_);
  tile.frame->setMinimumWidth(kPanelTileMinWidth);
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
  return tile;
}

QRect QtPanelView::Room() const {
  QScreen* shownOn = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
  return shownOn != nullptr ? shownOn->availableGeometry() : QRect(0, 0, 1024, 768);
}

void QtPanelView::Arrange() {
  const QRect room = Room();
  const QSize frame = isVisible() ? frameGeometry().size() - geometry().size() : kFrameGuess;
  const QMargins outer = layout()->contentsMargins();
  const QMargins inner = grid_->contentsMargins();
  const int scrollbar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  const int width = room.width() - frame.width() - outer.left() - outer.right() - scrollbar;
  int tileMin = kPanelTileMinWidth;
  for (const TileWidgets& tile : tiles_) tileMin = std::max(tileMin, tile.frame->minimumSizeHint().width());
  columns_ = PanelColumns(tiles_.size(), width - inner.left() - inner.right(), tileMin);
  for (const TileWidgets& tile : tiles_) grid_->removeWidget(tile.frame);
  for (int c = 0; c < grid_->columnCount(); ++c) grid_->setColumnStretch(c, 0);
  for (std::size_t i = 0; i < tiles_.size(); ++i) {
    const int index = static_cast<int>(i);
    grid_->addWidget(tiles_[i].frame, index / columns_, index % columns_);
  }
  for (int c = 0; c < columns_; ++c) grid_->setColumnStretch(c, 1);

  // The tiles get what the screen has left after the lines around them; past
  // that they scroll, and the counts and the summary stay on screen.
  grid_->invalidate();
  scroll_->setMinimumSize(0, 0);
  layout()->invalidate();
  const QSize tilesWant = tileArea_->sizeHint();
  const int others = layout()->minimumSize().height() - scroll_->minimumSizeHint().height() +
                     2 * summary_->fontMetrics().height();
  const int height = room.height() - frame.height() - others;
  const bool tall = tilesWant.height() > height;
  scroll_->setMinimumSize(std::min(tilesWant.width() + (tall ? scrollbar : 0), width), std::min(tilesWant.height(), height));
  layout()->invalidate();
  const QSize fits = room.size() - frame;
  resize(layout()->sizeHint().expandedTo(minimumSizeHint()).boundedTo(fits));
  if (isVisible()) {
    // Grown past the screen's edge: back inside it.
    QRect placed = frameGeometry();
    placed.moveRight(std::min(placed.right(), room.right()));
    placed.moveBottom(std::min(placed.bottom(), room.bottom()));
    placed.moveLeft(std::max(placed.left(), room.left()));
    placed.moveTop(std::max(placed.top(), room.top()));
    if (placed.topLeft() != frameGeometry().topLeft()) move(placed.topLeft());
  }
}

void QtPanelView::ShowTiles(const std::vector<PanelTile>& tiles) {
  const bool reshaped = tiles_.size() != tiles.size() || columns_ == 0;
  while (tiles_.size() > tiles.size()) {
    delete tiles_.back().frame;
    tiles_.pop_back();
  }
  while (tiles_.size() < tiles.size()) tiles_.push_back(MakeTile());
  for (std::size_t i = 0; i < tiles.size(); ++i) {
    const PanelTile& tile = tiles[i];
    TileWidgets& shown = tiles_[i];
    // A verdict kept for a unit that fell off the bus during its run.
    const bool gone = !tile.present && tile.state != TileState::NoUnit;
    shown.place->setText(Q(tile.location + (gone ? " - off the bus" : "") + "\n" + tile.identity));
    shown.verdict->setText(TileVerdictText(tile.state));
    PaintTile(shown.verdict, TileColour(tile.state));
    shown.progress->setValue(tile.progress);
    shown.status->setText(Q(tile.statusText));
  }
  if (reshaped) Arrange();
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

void QtPanelView::SetSummaryText(const std::string& text, bool failed) {
  summary_->setText(Q(text));
  if (failed) {
    PaintTile(summary_, kFailColour);
  } else {
    summary_->setAutoFillBackground(false);
    summary_->setPalette(QPalette());
  }
}

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
