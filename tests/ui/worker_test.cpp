// The download worker on simulated chips: requests in order, the loop-test
// continuation, the end notification, and what it reports by itself.
#include <mutex>

#include "data/firmware_image.h"
#include "flow/flow_fixture.h"
#include "support/debug_lines.h"
#include "ui/download_worker.h"

namespace quillon::testing {
namespace {

class FakeHost final : public WorkerHost {
 public:
  bool LoopTest() override { return loopTest; }
  int LoopTotal() override { return loopTotal; }
  void SetLoopLeftText(const std::string& text) override {
    std::lock_guard lock(mutex);
    leftText = text;
  }
  void DisableStart() override { ++disables; }
  void PostStartCommand() override { ++startCommands; }
  void SetInfoParam(std::uint32_t) override {}
  void SetOpenDevice(const std::string& location) override {
    std::lock_guard lock(mutex);
    openDevice = location;
  }

  bool loopTest = false;
  int loopTotal = 0;
  std::mutex mutex;
  std::string leftText;
  std::string openDevice;
  std::atomic<int> disables{0};
  std::atomic<int> startCommands{0};
};

// Records what is posted from the worker thread.
class PostLog final : public FlowWindow {
 public:
  bool Post(std::uint32_t notification, std::uint32_t wParam, std::uint32_t, const ChipSnapshot&) override {
    std::lock_guard lock(mutex_);
    posts_.push_back({notification, wParam});
    return true;
  }
  bool CancelRequested() override { return false; }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> posts() {
    std::lock_guard lock(mutex_);
    return posts_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    posts_.clear();
  }
  int Count(std::uint32_t notification) {
    int n = 0;
    for (auto& post : posts()) n += post.first == notification ? 1 : 0;
    return n;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> posts_;
};

class WorkerTest : public FlowFixture {
 protected:
  void SetUp() override {
    FlowFixture::SetUp();
    UseSettings("CheckVIDPID_INI=1\r\n");
    SetMainWindow(&log);
  }
  void TearDown() override {
    SetMainWindow(nullptr);
    FlowFixture::TearDown();
  }
  // A blank chip, listed and chosen, with the built-in image to write.
  void ChooseChip() {
    AddChipWith({}, {});
    flow->DEV_GetDefaultDeviceForTessaro();
    ASSERT_EQ(flow->chip.selectedOrdinal, 0);
    ASSERT_TRUE(LoadBuiltinImage(flow->chip.image, 3021));
    MoveBuiltinToFileData(flow->chip.image);
    log.Clear();
  }
  // Runs `requests`, then quits and waits for the thread.
  void Run(std::initializer_list<WorkerRequest> requests) {
    CVxtThread worker(host);
    worker.Start();
    for (WorkerRequest request : requests) worker.Post(request);
    worker.Post(WorkerRequest::Quit);
    worker.Join();
  }
  int Lines(const std::string& text) {
    auto texts = debug.texts();
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
  }

  DebugLines debug;
  FakeHost host;
  PostLog log;
};

struct LastLoopCase {
  const char* name;
  bool failErase;
  std::uint32_t lastStatus;
};
void PrintTo(const LastLoopCase& c, std::ostream* out) { *out << c.name; }

class WorkerLastLoopTest : public WorkerTest, public ::testing::WithParamInterface<LastLoopCase> {};

// After the last loop the count shows 0; the status is cleared only for a pass.
TEST_P(WorkerLastLoopTest, KeepsAFailureAsTheLastStatus) {
  ChooseChip();
  if (GetParam().failErase) {
    hookBus->hook = [](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
      if (IsCommandBlock(s) && d.size() >= 2 && d[0] == 0x02 && d[1] == 0x04) return TransferResult{31, 0};
      return std::nullopt;
    };
  }
  host.loopTest = true;
  host.loopTotal = 0;
  Run({WorkerRequest::Start});
  hookBus->hook = nullptr;
  EXPECT_EQ(LastStatus(), GetParam().lastStatus);
  EXPECT_EQ(host.leftText, "Left : 0");
  EXPECT_EQ(host.startCommands, 0);
  const auto posts = log.posts();
  ASSERT_GE(posts.size(), 2u);
  EXPECT_EQ(posts[posts.size() - 2], std::make_pair(std::uint32_t{WM_FLOW_STEP}, 0u));
  EXPECT_EQ(posts.back().first, std::uint32_t{WM_FLOW_NOTE});
}

INSTANTIATE_TEST_SUITE_P(Outcomes, WorkerLastLoopTest,
                         ::testing::Values(LastLoopCase{"Pass", false, 0}, LastLoopCase{"Fail", true, msg::kEraseFlashFail}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WorkerTest, PassWithLoopsLeftStartsTheNextLoop) {
  ChooseChip();
  host.loopTest = true;
  host.loopTotal = 2;
  Run({WorkerRequest::Start});
  EXPECT_EQ(log.Count(WM_FLOW_PASS), 1);
  EXPECT_EQ(Lines("Auto next loop text"), 1);
  EXPECT_EQ(host.startCommands, 1);
  EXPECT_EQ(host.disables, 1);
  EXPECT_TRUE(host.leftText.empty());
  EXPECT_GE(clock.SleptMs(), 1000u);
}

// A chosen chip that is gone when the run starts: the run fails with 41511
// instead of leaving the window busy.
TEST_F(WorkerTest, ChipThatCannotBeReopenedFails) {
  ChooseChip();
  bus.UnplugChip(0);
  Run({WorkerRequest::Start});
  EXPECT_EQ(log.posts().front(), std::make_pair(std::uint32_t{WM_FLOW_FAIL}, msg::kDetectDeviceFail));
  EXPECT_EQ(Lines("Start Download"), 0);
  EXPECT_EQ(host.disables, 0);
}

// Requests after Quit are dropped; the end notification is the last post, once.
TEST_F(WorkerTest, QuitEndsTheQueue) {
  ChooseChip();
  CVxtThread worker(host);
  worker.Post(WorkerRequest::CloseDevice);
  worker.Post(WorkerRequest::Quit);
  worker.Post(WorkerRequest::RefreshList, 1);
  worker.Post(WorkerRequest::Start);
  worker.Start();
  worker.Join();
  EXPECT_EQ(Lines("CDevFlow::DEV_CloseDevice()"), 1);
  EXPECT_EQ(log.posts(), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{WM_FLOW_NOTE, 0}}));
  EXPECT_TRUE(worker.Idle());
}

TEST_F(WorkerTest, EndingClearsAFinalSuccess) {
  SetLastStatus(msg::kFirmwareUpdateSucceed);
  Run({});
  EXPECT_EQ(LastStatus(), 0u);
  SetLastStatus(msg::kCheckDeviceInfoSucceed);
  Run({});
  EXPECT_EQ(LastStatus(), msg::kCheckDeviceInfoSucceed);
}

TEST_F(WorkerTest, ANeverStartedWorkerIsHarmless) {
  CVxtThread worker(host);
  worker.Post(WorkerRequest::Start);
  worker.Join();
  EXPECT_TRUE(log.posts().empty());
}

}  // namespace
}  // namespace quillon::testing
