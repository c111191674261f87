#include "app/chip_list.h"

#include <nlohmann/json.hpp>

#include "data/accepted_devices.h"
#include "data/settings.h"
#include "platform/files.h"

namespace quillon {
namespace {

constexpr const char* kVidPidListFile = "VidPidList.ini";

// The same test the discovery makes (a line naming a revision, contained in
// the identity), without its message boxes: a listing must not prompt.
bool InVidPidListFile(const std::string& identity) {
  auto bytes = ReadWholeFile(ConfigDir() / kVidPidListFile);
  return bytes && ListFileAccepts(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), identity);
}

std::vector<std::string> Transports(const ListedChip& chip) {
  std::vector<std::string> names;
  if (chip.xuTransport) names.emplace_back("xu");
  if (chip.vendorTransport) names.emplace_back("vendor");
  return names;
}

std::string TransportsText(const ListedChip& chip) {
  std::string text;
  for (const std::string& name : Transports(chip)) text += (text.empty() ? "" : ",") + name;
  return text.empty() ? "none" : text;
}

}  // namespace

std::string WhyNotAccepted(const ListedChip& chip) {
  if (chip.openError != 0) return "cannot open it: error " + std::to_string(chip.openError);
  if (chip.kind != DeviceKind::kAudio) return "a camera chip: the batch mode takes audio chips";
  if (chip.probed && !chip.xuTransport && !chip.vendorTransport) return "it answers no vendor command";
  if (chip.listCheck == 2 && !chip.inList) return std::string("not in ") + kVidPidListFile;
  if (chip.listCheck != 0 && chip.listCheck != 2 && !chip.inList) return "not in the accepted list";
  return "";
}

std::string ChipListLine(const ListedChip& chip) {
  const std::string why = WhyNotAccepted(chip);
  return (chip.index < 0 ? std::string("-") : std::to_string(chip.index)) + " " + chip.location + " " +
         chip.identity + " " + TransportsText(chip) + " " +
         (why.empty() ? std::string("accepted") : "not accepted (" + why + ")");
}

std::string ChipListJson(const std::vector<ListedChip>& chips) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const ListedChip& chip : chips) {
    const std::string why = WhyNotAccepted(chip);
    nlohmann::ordered_json object = {
        {"index", chip.index < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(chip.index)},
        {"location", chip.location},
        {"identity", chip.identity},
        {"transports", Transports(chip)},
        {"accepted", why.empty()},
    };
    if (!why.empty()) object["reason"] = why;
    array.push_back(std::move(object));
  }
  // Identities and reasons are ASCII; anything else from a device is replaced, not passed on raw.
  return array.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
}

std::optional<std::vector<ListedChip>> ReadChips(bool probe) {
  const std::uint32_t listCheck = Setting(key::kCheckVidPidIni, 0);
  std::vector<ListedChip> chips;
  for (DeviceKind kind : {DeviceKind::kAudio, DeviceKind::kCamera}) {
    std::vector<ListEntry> entries;
    if (VxCam_ListDevice(entries, kind) != 0) return std::nullopt;
    int index = 0;
    for (const ListEntry& entry : entries) {
      ListedChip chip;
      // The index "-d N" takes is the chip's place among the audio chips.
      chip.index = kind == DeviceKind::kAudio ? index++ : -1;
      chip.location = entry.location;
      chip.kind = kind;
      chip.listCheck = listCheck;
      chip.identity = entry.name;
      if (probe) {
        DeviceRecord record;
        chip.probed = true;
        chip.openError = OpenVxCam(record, entry.instance);
        if (chip.openError == 0 && ProbeDevice(record, false) && record.info) {
          const DeviceInfoRecord& info = *record.info;
          chip.identity = FullIdText(info.VendorId(), info.ProductId(), info.BcdDevice());
          chip.xuTransport = info.xuTransport;
          chip.vendorTransport = info.vendorTransport;
        }
        CloseDeviceRecord(record);
      }
      chip.inList = listCheck == 2 ? InVidPidListFile(chip.identity) : IsInBuiltInVidPidList(chip.identity);
      chips.push_back(std::move(chip));
    }
  }
  return chips;
}

std::optional<std::vector<PresentChip>> PresentChips() {
  auto chips = ReadChips(false);
  if (!chips) return std::nullopt;
  std::vector<PresentChip> present;
  for (const ListedChip& chip : *chips) present.push_back({chip.index, chip.location, chip.identity, WhyNotAccepted(chip)});
  return present;
}

int ListChips(std::FILE* out, bool json) {
  auto chips = ReadChips(true);
  if (!chips) return -1;
  if (json) {
    std::fprintf(out, "%s\n", ChipListJson(*chips).c_str());
  } else {
    for (const ListedChip& chip : *chips) std::fprintf(out, "%s\n", ChipListLine(chip).c_str());
  }
  return static_cast<int>(chips->size());
}

}  // namespace quillon
