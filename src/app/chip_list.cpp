#include "app/chip_list.h"

#include "data/accepted_devices.h"

namespace quillon {

std::string ChipListLine(const DeviceRecord& record) {
  std::string transports = "none";
  std::string identity = "unknown";
  if (record.info) {
    const DeviceInfoRecord& info = *record.info;
    identity = FullIdText(info.VendorId(), info.ProductId(), info.BcdDevice());
    if (info.xuTransport && info.vendorTransport) {
      transports = "xu,vendor";
    } else if (info.xuTransport) {
      transports = "xu";
    } else if (info.vendorTransport) {
      transports = "vendor";
    }
  }
  bool accepted = record.info && IsInBuiltInVidPidList(identity);
  return record.location + " " + identity + " " + transports + " " + (accepted ? "accepted" : "not accepted");
}

int ListChips(std::FILE* out) {
  int listed = 0;
  for (DeviceKind kind : {DeviceKind::kAudio, DeviceKind::kCamera}) {
    std::vector<ListEntry> entries;
    if (VxCam_ListDevice(entries, kind) != 0) return -1;
    for (const ListEntry& entry : entries) {
      DeviceRecord record;
      std::uint32_t error = OpenVxCam(record, entry.instance);
      if (error == 0 && ProbeDevice(record, false)) {
        std::fprintf(out, "%s\n", ChipListLine(record).c_str());
      } else {
        std::fprintf(out, "%s %s none %s (cannot open it: error %u)\n", entry.location.c_str(), entry.name.c_str(),
                     IsInBuiltInVidPidList(entry.name) ? "accepted" : "not accepted", error);
      }
      CloseDeviceRecord(record);
      ++listed;
    }
  }
  return listed;
}

}  // namespace quillon
