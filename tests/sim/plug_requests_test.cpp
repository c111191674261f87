// Units plugged and pulled while a process holds the state: the holder takes
// the requests on its event poll and its listeners hear of them; with no
// holder the requester carries them out on the saved state; a pulled chip
// stays off the bus in later runs until it is plugged back.
#include <array>

#include "sim/plug_requests.h"
#include "sim/sim_bus.h"
#include "sim/sim_session.h"
#include "sim/state_file.h"
#include "sim_fixture.h"
#include "support/temp_dir.h"
#include "tools/sim/sim_cli.h"

namespace quillon::sim::testing {
namespace {

using quillon::testing::TempDir;

class Events final : public UsbEventListener {
 public:
  void OnDeviceArrived(const UsbDeviceInfo& device) override { seen.push_back("+" + device.location); }
  void OnDeviceRemoved(const UsbDeviceInfo& device) override { seen.push_back("-" + device.location); }
  std::vector<std::string> seen;
};

std::vector<std::string> Listed(UsbBackend& backend) {
  std::vector<UsbDeviceInfo> devices;
  backend.ListDevices(devices);
  std::vector<std::string> locations;
  for (const UsbDeviceInfo& device : devices) locations.push_back(device.location);
  return locations;
}

class PlugRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimBus bus;
    bus.AddChip();
    std::string error;
    ASSERT_TRUE(SaveStateFile(state, bus.EndRun(), error)) << error;
  }
  std::vector<ChipState> Load() {
    std::vector<ChipState> chips;
    std::string error;
    EXPECT_TRUE(LoadStateFile(state, chips, error)) << error;
    return chips;
  }
  int Cli(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int code = RunSimCli(args, out, err);
    lastError = err.str();
    return code;
  }
  std::filesystem::path Queue(PlugRequest request) {
    std::string error;
    auto queued = QueueRequest(state, request, error);
    EXPECT_FALSE(queued.empty()) << error;
    return queued;
  }

  TempDir dir;
  std::filesystem::path state = dir.path() / "bus.state";
  std::string lastError;
};

// The holder's poll plugs and pulls; what it saved is what the next run sees.
TEST_F(PlugRequestTest, TheHolderTakesRequestsOnItsEventPoll) {
  std::string error;
  auto session = OpenSimSession(state, "", error);
  ASSERT_TRUE(session) << error;
  Events events;
  session->SetEventListener(&events);

  PlugRequest plug;
  plug.config.serial = "UNIT-0002";
  const auto queued = Queue(plug);
  EXPECT_EQ(Listed(*session), std::vector<std::string>{"1-1"}) << "nothing changes before the poll";
  EXPECT_FALSE(RequestTaken(queued));
  session->HandleEvents();
  EXPECT_TRUE(RequestTaken(queued));
  EXPECT_EQ(events.seen, std::vector<std::string>{"+1-2"});
  EXPECT_EQ(Listed(*session), (std::vector<std::string>{"1-1", "1-2"}));

  Queue({PlugRequest::Kind::kPull, {}, 0});
  session->HandleEvents();
  EXPECT_EQ(events.seen, (std::vector<std::string>{"+1-2", "-1-1"}));
  EXPECT_EQ(Listed(*session), std::vector<std::string>{"1-2"});
  session->SetEventListener(nullptr);
  session.reset();

  const auto chips = Load();
  ASSERT_EQ(chips.size(), 2u);
  EXPECT_TRUE(chips[0].pulled);
  EXPECT_EQ(chips[1].config.serial, "UNIT-0002");
  session = OpenSimSession(state, "", error);
  ASSERT_TRUE(session) << error;
  EXPECT_EQ(Listed(*session), std::vector<std::string>{"1-2"}) << "a pulled chip stays off the bus";
  Queue({PlugRequest::Kind::kReplug, {}, 0});
  session->HandleEvents();
  EXPECT_EQ(Listed(*session), (std::vector<std::string>{"1-1", "1-2"}));
}

// With no holder quillon-sim carries the request out itself; a request it
// cannot carry out fails and changes nothing.
TEST_F(PlugRequestTest, WithoutAHolderTheRequesterCarriesItOut) {
  EXPECT_EQ(Cli({"pull", state.string()}), 0) << lastError;
  EXPECT_TRUE(Load()[0].pulled);
  EXPECT_EQ(Cli({"plug", state.string(), "--memory", "otp", "--serial", "UNIT-0002"}), 0) << lastError;
  auto chips = Load();
  ASSERT_EQ(chips.size(), 2u);
  EXPECT_EQ(chips[1].location, "1-2");
  EXPECT_EQ(chips[1].config.memory, MemoryKind::kOtp);
  EXPECT_EQ(Cli({"plug", state.string(), "--chip", "0"}), 0) << lastError;
  EXPECT_FALSE(Load()[0].pulled);

  const std::string before = SerializeStates(Load());
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"plug", state.string(), "--chip", "0"},   // not pulled
           {"pull", state.string(), "--chip", "5"},   // no such chip
           {"plug", state.string(), "--chip", "0", "--memory", "otp"},
           {"plug", state.string(), "--colour", "red"}}) {
    SCOPED_TRACE(args[2]);
    EXPECT_EQ(Cli(args), 1);
    EXPECT_FALSE(lastError.empty());
  }
  EXPECT_EQ(SerializeStates(Load()), before);
  EXPECT_TRUE(TakeRequests(state).empty()) << "no request is left behind";
}

// A state that never had a chip pulled reads and writes as before.
TEST_F(PlugRequestTest, StatesWithoutPulledChipsKeepTheirForm) {
  const std::string text = SerializeStates(Load());
  EXPECT_EQ(text.find("pulled"), std::string::npos);
  std::vector<ChipState> chips = Load();
  chips[0].pulled = true;
  std::vector<ChipState> back;
  std::string error;
  ASSERT_TRUE(ParseStates(SerializeStates(chips), back, error)) << error;
  EXPECT_TRUE(back[0].pulled);
}

// A request left while nobody held the state (its requester gone) is kept by
// the next holder as it opens the state.
TEST_F(PlugRequestTest, ALeftRequestIsKeptAtTheNextOpen) {
  Queue({PlugRequest::Kind::kPull, {}, 0});
  std::string error;
  auto session = OpenSimSession(state, "", error);
  ASSERT_TRUE(session) << error;
  EXPECT_TRUE(Listed(*session).empty());
  EXPECT_TRUE(Load()[0].pulled) << "saved at once";
}

}  // namespace
}  // namespace quillon::sim::testing
