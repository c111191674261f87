#include "app/chip_list.h"

#include "data/accepted_devices.h"
#include "data/settings.h"
#include "platform/files.h"

namespace quillon {
namespace {

constexpr const char* kVidPidListFile = "VidPidList.ini";

// The same test the discovery makes (a line naming a revision, contained in
// the identity), without its message boxes: a listing must not prompt.
bool InVidPidListFile(const std::string& identity) {
  auto bytes = ReadWholeFile(ProgramDir() / kVidPidListFile);
  return bytes && ListFileAccepts(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), identity);
}

std::string Transports(const ListedChip& chip) {
  if (chip.xuTransport && chip.vendorTransport) return "xu,vendor";
  if (chip.xuTransport) return "xu";
  if (chip.vendorTransport) return "vendor";
  return "none";
}

}  // namespace

std::string WhyNotAccepted(const ListedChip& chip) {
  if (chip.openError != 0) return "cannot open it: error " + std::to_string(chip.openError);
  if (chip.kind != DeviceKind::kAudio) return "a camera chip: the batch mode takes audio chips";
  if (!chip.xuTransport && !chip.vendorTransport) return "it answers no vendor command";
  if (chip.listCheck == 2 && !chip.inList) return std::string("not in ") + kVidPidListFile;
  if (chip.listCheck != 0 && chip.listCheck != 2 && !chip.inList) return "not in the accepted list";
  return "";
}

std::string ChipListLine(const std::string& location, const ListedChip& chip) {
  const std::string why = WhyNotAccepted(chip);
  return location + " " + chip.identity + " " + Transports(chip) + " " +
         (why.empty() ? std::string("accepted") : "not accepted (" + why + ")");
}

int ListChips(std::FILE* out) {
  const std::uint32_t listCheck = Setting(key::kCheckVidPidIni, 0);
  int listed = 0;
  for (DeviceKind kind : {DeviceKind::kAudio, DeviceKind::kCamera}) {
    std::vector<ListEntry> entries;
    if (VxCam_ListDevice(entries, kind) != 0) return -1;
    for (const ListEntry& entry : entries) {
      DeviceRecord record;
      ListedChip chip;
      chip.kind = kind;
      chip.listCheck = listCheck;
      chip.openError = OpenVxCam(record, entry.instance);
      if (chip.openError == 0 && ProbeDevice(record, false) && record.info) {
        const DeviceInfoRecord& info = *record.info;
        chip.identity = FullIdText(info.VendorId(), info.ProductId(), info.BcdDevice());
        chip.xuTransport = info.xuTransport;
        chip.vendorTransport = info.vendorTransport;
      } else {
        chip.identity = entry.name;
      }
      chip.inList = listCheck == 2 ? InVidPidListFile(chip.identity) : IsInBuiltInVidPidList(chip.identity);
      std::fprintf(out, "%s\n", ChipListLine(entry.location, chip).c_str());
      CloseDeviceRecord(record);
      ++listed;
    }
  }
  return listed;
}

}  // namespace quillon
