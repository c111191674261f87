#include "proxy/device_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/debug_channel.h"
#include "platform/process_lock.h"
#include "platform/retry.h"
#include "proxy/backend_factory.h"
#include "proxy/link_steps.h"
#include "proxy/transfers.h"
#include "proxy/usb_location.h"
#include "proxy/xu_search.h"

namespace quillon {
namespace {

constexpr std::uint32_t kUnspecifiedFailure = 0x80004005;
constexpr CommandBlock kAbortBlock = {0xFF, 0, 0, 0, 0, 0, 0, 0};

bool HasSignature(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= kChipSignature.size() &&
         std::equal(kChipSignature.begin(), kChipSignature.end(), bytes.begin());
}

// The devices of `kind` on the bus, in location order.
std::uint32_t ListOfKind(DeviceKind kind, std::vector<UsbDeviceInfo>& out) {
  std::vector<UsbDeviceInfo> all;
  std::uint32_t error = TheUsbBackend().ListDevices(all);
  out.clear();
  if (error != kUsbOk) return error;
  for (UsbDeviceInfo& device : all) {
    if (device.kind == kind) out.push_back(std::move(device));
  }
  std::sort(out.begin(), out.end(), [](const UsbDeviceInfo& a, const UsbDeviceInfo& b) {
    return a.location != b.location ? a.location < b.location : a.instance < b.instance;
  });
  return kUsbOk;
}

std::uint32_t ChainCount(const std::string& location) {
  return static_cast<std::uint32_t>(std::count(location.begin(), location.end(), '.')) + 2;
}

void Fill(DeviceRecord& record, const UsbDeviceInfo& device) {
  record.instance = device.instance;
  record.kind = device.kind;
  record.friendlyName = FullIdText(device.vendorId, device.productId, device.bcdDevice);
  record.location = device.location;
  record.interfaceNumber = device.interfaceNumber;
  record.chainCount = ChainCount(device.location);
  record.rootHubKind = 1;
}

// Opens the device and records where it sits.
std::uint32_t OpenAndLocate(DeviceRecord& record, const UsbDeviceInfo& device) {
  Fill(record, device);
  DebugPrint("Checking device %s\n", device.instance.c_str());
  DebugPrint("VxProxy_Open by handle %s\n", device.instance.c_str());
  std::uint32_t error = VxProxy_Open(device.instance, record.hVxProxyDev);
  if (error != kUsbOk) {
    DebugPrint("VxProxy_Open failed %d, device handle : %s\n", static_cast<int>(error), device.instance.c_str());
    return error;
  }
  DebugPrint("VxProxy_Open hDev=%08X\n", static_cast<unsigned>(record.hVxProxyDev));
  DebugPrint("Search for device location completed, last device: %s\n", HubLocation(record.location).c_str());
  return kUsbOk;
}

std::uint32_t& WakeWaitCap() {
  thread_local std::uint32_t cap = kWakeWaitLimitMs;
  return cap;
}

// Waits, boundedly, for a device that answers "not ready" while it resumes
// from selective suspend. `vanishedIsError`: a device that left the bus fails the open.
std::uint32_t WakeWait(DeviceRecord& record, bool vanishedIsError) {
  std::array<std::uint8_t, 18> descriptor{};
  const std::uint32_t limitMs = std::min(kWakeWaitLimitMs, WakeWaitCap());
  std::uint32_t waited = 0;
  for (;;) {
    UrbResult result = GetDeviceDescriptor(record.hVxProxyDev, descriptor);
    if (result.ok) return kUsbOk;
    if (result.error == kUsbErrorNotReady) {
      if (waited >= limitMs) {
        DebugPrint("VxCam_OpenDevice device did not wake up within %u ms\n", limitMs);
        return kUsbErrorNotReady;
      }
      const std::uint32_t step = std::min(kWakeWaitStepMs, limitMs - waited);
      TheClock().SleepMs(step);
      waited += step;
      DebugPrint("VxCam_OpenDevice wait for device to wakeup from SS\n");
      continue;
    }
    if (vanishedIsError && (result.error == kUsbErrorNotFound || result.error == kUsbErrorDeviceGone)) {
      DebugPrint("VxCam_OpenDevice fail\n");
      return kUsbErrorNotFound;
    }
    DebugPrint("VxCam_OpenDevice check SS resume fail %d\n", static_cast<int>(result.error));
    return kUsbOk;
  }
}

// A descriptor read, tried again while the device is still there.
template <class Read>
UrbResult ReadDescriptor(Read&& read) {
  UrbResult result;
  TryAttempts(LinkStepOf(LinkStep::kDescriptorRead).attempts, NeverStopped, [&] {
    result = read();
    return result.ok || result.error == kUsbErrorDeviceGone || result.error == kUsbErrorNotFound;
  });
  return result;
}

bool ReadConfiguration(UsbHandle device, std::vector<std::uint8_t>& out) {
  std::array<std::uint8_t, 9> head{};
  if (!ReadDescriptor([&] { return GetConfigureDescriptor(device, head); }).ok) return false;
  std::size_t total = static_cast<std::size_t>(head[2] | head[3] << 8);
  if (total < head.size()) return false;
  out.assign(total, 0);
  if (!ReadDescriptor([&] { return GetConfigureDescriptor(device, out); }).ok) return false;
  DebugPrint("Get configuration descriptor, wTotalLength %d\n", static_cast<int>(total));
  return true;
}

// Vendor request 6 answering one byte: the chip can at least be reset that way.
std::uint32_t VendorRequest6Answers(UsbHandle device) {
  std::array<std::uint8_t, 1> byte{};
  return UsbVendorRequest(device, kVendorOut, kRequestAlive, 0, 0, byte, 1, kControlTimeoutMs).ok ? 1 : 0;
}

// One extension-unit command block on control 10 and one 8-byte piece on control 11.
std::uint32_t XuCommandOnce(const DeviceRecord& record, std::uint8_t unitId, const CommandBlock& block,
                            std::span<std::uint8_t, 8> piece, bool toHost) {
  const auto interface = static_cast<std::uint8_t>(record.interfaceNumber);
  CommandBlock command = block;
  UrbResult urb = UvcControlRequest(record.hVxProxyDev, kClassOut, kSetCur, kXuSelectorCommand, unitId, interface,
                                    command, false, kControlTimeoutMs);
  if (!urb.ok) return urb.error != 0 ? urb.error : kUsbErrorIo;
  if (toHost) std::fill(piece.begin(), piece.end(), 0);
  urb = UvcControlRequest(record.hVxProxyDev, toHost ? kClassIn : kClassOut, toHost ? kGetCur : kSetCur,
                          kXuSelectorData, unitId, interface, piece, toHost, kControlTimeoutMs);
  if (urb.ok) return kUsbOk;
  const std::uint32_t error = urb.error != 0 ? urb.error : kUsbErrorIo;
  // The chip still waits for the data phase it began; it takes no other
  // command until that phase is aborted.
  if (error != kUsbErrorDeviceGone) {
    CommandBlock abort = kAbortBlock;
    UvcControlRequest(record.hVxProxyDev, kClassOut, kSetCur, kXuSelectorCommand, unitId, interface, abort, false,
                      kControlTimeoutMs);
  }
  return error;
}

bool XuCommandAndRead(const DeviceRecord& record, std::uint8_t unitId, const CommandBlock& block,
                      std::span<std::uint8_t, 8> answer) {
  return XuCommandWithPiece(record, unitId, block, answer, true) == kUsbOk;
}

// The status block through the extension unit: command 0xCD, one 8-byte piece per index.
bool XuReadStatus(const DeviceRecord& record, std::uint8_t unitId, std::span<std::uint8_t> out) {
  ProcessLockGuard lock(CommandLock());
  for (std::size_t piece = 0; piece * 8 < out.size(); ++piece) {
    std::array<std::uint8_t, 8> answer{};
    const CommandBlock block = BuildCommandBlock(kStatusPieceBlock, static_cast<std::uint16_t>(piece));
    const bool read = TryAttempts(LinkStepOf(LinkStep::kStatusRead).attempts, NeverStopped,
                                  [&] { return XuCommandAndRead(record, unitId, block, answer); });
    if (!read) return false;
    std::copy_n(answer.begin(), std::min<std::size_t>(8, out.size() - piece * 8), out.begin() + piece * 8);
  }
  return true;
}

bool IsVideoAssociationDevice(const DeviceInfoRecord& info) {
  const auto& d = info.deviceDescriptor;
  if (d[4] != 0xEF || d[5] != 0x02 || d[6] != 0x01) return false;
  const auto& c = info.configuration;
  std::size_t total = std::min<std::size_t>(c.size(), c.size() >= 4 ? static_cast<std::size_t>(c[2] | c[3] << 8) : 0);
  for (std::size_t at = 0; at + 2 <= total && c[at] >= 2 && at + c[at] <= total; at += c[at]) {
    if (c[at + 1] == 0x0B && c[at] >= 6 && c[at + 4] == 0x0E && c[at + 5] == 0x03) return true;
  }
  return false;
}

void ProbeVendorStatus(DeviceRecord& record, DeviceInfoRecord& info) {
  std::uint32_t error = VendorGetDevStatus(record.hVxProxyDev, 0, info.statusBlock);
  if (error == kUsbOk && HasSignature(std::span(info.statusBlock).subspan(24))) {
    info.supported = info.vendorTransport = 1;
    info.vendorRequest6 = 0;
    return;
  }
  DebugPrint("Vendor2_GetDevStatus failed %d\n", static_cast<int>(error));
  info.vendorTransport = 0;
  info.vendorRequest6 = VendorRequest6Answers(record.hVxProxyDev);
}

bool ProbeAudio(DeviceRecord& record, DeviceInfoRecord& info) {
  info.supported = info.xuTransport = 0;
  ProbeVendorStatus(record, info);
  int unit = FindAudioExtensionUnit(info.configuration);
  if (unit >= 0) {
    info.xuUnitId = static_cast<std::uint32_t>(unit);
    info.supported = info.xuTransport = 1;
  }
  return true;
}

bool ProbeCamera(DeviceRecord& record, DeviceInfoRecord& info) {
  if (!IsVideoAssociationDevice(info)) {
    DebugPrint("Not a video interface collection device\n");
    return false;
  }
  info.supported = info.xuTransport = info.vendorRequest6 = info.vendorTransport = 0;
  int unit = FindUvcExtensionUnit(info.configuration, static_cast<int>(record.interfaceNumber), info.irCamera);
  if (unit < 0) {
    if (record.instance.find("VID_8086&PID_0A66") != std::string::npos ||
        record.friendlyName.find("VID_8086&PID_0A66") != std::string::npos) {
      info.supported = info.specialCamera = 1;
      info.statusBlock[6] = 0x10;
      info.statusBlock[7] = 0x50;
    }
    return true;
  }
  std::array<std::uint8_t, 8> signature{};
  std::uint32_t error = VendorGetDevStatus(record.hVxProxyDev, 3, signature);
  std::copy(signature.begin(), signature.end(), info.statusBlock.begin() + 24);
  if (error == kUsbOk && HasSignature(signature)) {
    if (VendorGetDevStatus(record.hVxProxyDev, 0, info.statusBlock) == kUsbOk) info.supported = info.vendorTransport = 1;
  } else {
    DebugPrint("Vendor2_GetDevStatus failed %d\n", static_cast<int>(error));
    info.vendorTransport = 0;
    info.vendorRequest6 = VendorRequest6Answers(record.hVxProxyDev);
  }
  if (XuQualify(record, static_cast<std::uint8_t>(unit))) {
    info.xuUnitId = static_cast<std::uint32_t>(unit);
    info.supported = info.xuTransport = 1;
    if (info.vendorTransport == 0) XuReadStatus(record, static_cast<std::uint8_t>(unit), info.statusBlock);
  }
  return true;
}

}  // namespace

std::string FullIdText(std::uint16_t vendorId, std::uint16_t productId, std::uint16_t revision) {
  char text[32];
  std::snprintf(text, sizeof text, "VID_%04X&PID_%04X&REV_%04X", vendorId, productId, revision);
  return text;
}

std::uint32_t VxCam_ListDevice(std::vector<ListEntry>& out, DeviceKind kind) {
  out.clear();
  std::vector<UsbDeviceInfo> devices;
  std::uint32_t error = ListOfKind(kind, devices);
  if (error != kUsbOk) {
    DebugPrint("SetupDiGetClassDevs failed %d\n", static_cast<int>(error));
    return error;
  }
  for (const UsbDeviceInfo& device : devices) {
    out.push_back({device.instance, FullIdText(device.vendorId, device.productId, device.bcdDevice), device.location});
  }
  return kUsbOk;
}

std::uint32_t OpenVxCam(DeviceRecord& record, const std::string& instance) {
  CloseDeviceRecord(record);
  std::vector<UsbDeviceInfo> all;
  std::uint32_t error = TheUsbBackend().ListDevices(all);
  if (error != kUsbOk) return error;
  auto device = std::find_if(all.begin(), all.end(), [&](const UsbDeviceInfo& d) { return d.instance == instance; });
  if (device == all.end()) {
    DebugPrint("SetupDiEnumDeviceInfo failed %d\n", static_cast<int>(kUsbErrorNoMoreItems));
    return kUsbErrorNotFound;
  }
  error = OpenAndLocate(record, *device);
  if (error != kUsbOk) {
    CloseDeviceRecord(record);
    return error;
  }
  TheClock().SleepMs(200);
  error = WakeWait(record, false);
  if (error != kUsbOk) {
    CloseDeviceRecord(record);
    return error;
  }
  DebugPrint("VxCam_OpenDevice success\n");
  return kUsbOk;
}

std::uint32_t VxCam_OpenDevice(DeviceRecord& record, int memberIndex, DeviceKind kind) {
  CloseDeviceRecord(record);
  std::vector<UsbDeviceInfo> devices;
  std::uint32_t error = ListOfKind(kind, devices);
  if (error != kUsbOk) return error;
  if (memberIndex < 0 || static_cast<std::size_t>(memberIndex) >= devices.size()) {
    DebugPrint("SetupDiEnumDeviceInfo failed %d\n", static_cast<int>(kUsbErrorNoMoreItems));
    return kUsbErrorNoMoreItems;
  }
  error = OpenAndLocate(record, devices[static_cast<std::size_t>(memberIndex)]);
  record.kind = kind;
  if (error == kUsbOk) error = WakeWait(record, true);
  if (error != kUsbOk) {
    CloseDeviceRecord(record);
    return error;
  }
  DebugPrint("VxCam_OpenDevice success\n");
  return kUsbOk;
}

ScopedWakeWaitLimit::ScopedWakeWaitLimit(std::uint32_t limitMs) : previous_(WakeWaitCap()) { WakeWaitCap() = limitMs; }
ScopedWakeWaitLimit::~ScopedWakeWaitLimit() { WakeWaitCap() = previous_; }

void CloseDeviceRecord(DeviceRecord& record) {
  record.info.reset();
  if (record.hVxProxyDev != 0) VxProxy_Close(record.hVxProxyDev);
  record.hVxProxyDev = 0;
  record.instance.clear();
  record.chainCount = 0;
}

bool ProbeDevice(DeviceRecord& record, bool force) {
  if (record.info && !force) return true;
  auto info = std::make_unique<DeviceInfoRecord>();
  UrbResult descriptor = ReadDescriptor([&] { return GetDeviceDescriptor(record.hVxProxyDev, info->deviceDescriptor); });
  if (!descriptor.ok) {
    DebugPrint("GetDeviceDescriptor failed %d\n", static_cast<int>(descriptor.error));
    return false;
  }
  if (!ReadConfiguration(record.hVxProxyDev, info->configuration)) {
    DebugPrint("GetConfigureDescriptor failed %d\n", 0);
    return false;
  }
  bool ok = record.kind == DeviceKind::kCamera ? ProbeCamera(record, *info) : ProbeAudio(record, *info);
  if (!ok) return false;
  record.info = std::move(info);
  return true;
}

namespace {
bool ProbeTransportsOnce(DeviceRecord& record, int& unitId, std::uint32_t& vendorRequest6,
                         std::uint32_t& vendorTransport) {
  std::vector<std::uint8_t> configuration;
  ReadConfiguration(record.hVxProxyDev, configuration);
  bool answered = false;
  std::array<std::uint8_t, 32> status{};
  std::uint32_t error = VendorGetDevStatus(record.hVxProxyDev, 0, status);
  if (error == kUsbOk && HasSignature(std::span(status).subspan(24))) {
    answered = true;
    vendorTransport = 1;
    vendorRequest6 = 0;
  } else {
    DebugPrint("Vendor2_GetDevStatus failed %d\n", static_cast<int>(error));
    vendorTransport = 0;
    vendorRequest6 = VendorRequest6Answers(record.hVxProxyDev);
  }
  std::uint32_t ir = 0;
  unitId = record.kind == DeviceKind::kCamera
               ? FindUvcExtensionUnit(configuration, static_cast<int>(record.interfaceNumber), ir)
               : FindAudioExtensionUnit(configuration);
  if (unitId >= 0 && XuQualify(record, static_cast<std::uint8_t>(unitId))) answered = true;
  return answered;
}
}  // namespace

bool ProbeTransports(DeviceRecord& record, int& unitId, std::uint32_t& vendorRequest6,
                     std::uint32_t& vendorTransport) {
  // A stall on the one question per transport looks like no transport at all.
  return TryAttempts(LinkStepOf(LinkStep::kChipOpen).attempts, NeverStopped,
                     [&] { return ProbeTransportsOnce(record, unitId, vendorRequest6, vendorTransport); });
}

bool IsSameLocation(const DeviceRecord& a, const DeviceRecord& b) {
  return a.chainCount == b.chainCount && IsSameLocationText(a.location, b.location);
}

std::uint32_t GetDeviceLocation(const DeviceRecord& record, std::uint32_t& address, std::string& hub) {
  address = PortAddress(record.location);
  hub = HubLocation(record.location);
  return hub.empty() ? kUsbErrorNotFound : kUsbOk;
}

std::uint32_t VendorGetDevStatus(UsbHandle device, std::uint16_t first, std::span<std::uint8_t> buffer) {
  for (std::size_t piece = 0; piece * 8 < buffer.size(); ++piece) {
    std::array<std::uint8_t, 8> answer{};
    // The first piece asks whether the chip answers vendor requests at all (a
    // stall says no); once it has, a failed piece is the link's and goes again.
    UrbResult result;
    TryAttempts(piece == 0 ? 1 : LinkStepOf(LinkStep::kStatusRead).attempts, NeverStopped, [&] {
      result = UsbVendorRequest(device, kVendorIn, kRequestDevStatus, static_cast<std::uint16_t>(first + piece), 0,
                                answer, 1, kControlTimeoutMs);
      return result.ok || result.error == kUsbErrorDeviceGone;
    });
    if (!result.ok) return result.error != 0 ? result.error : kUnspecifiedFailure;
    if (result.length != 8) return kUnspecifiedFailure;
    std::copy_n(answer.begin(), std::min<std::size_t>(8, buffer.size() - piece * 8), buffer.begin() + piece * 8);
  }
  return kUsbOk;
}

bool XuBackToPlainPieces(const DeviceRecord& record, std::uint8_t unitId) {
  auto interface = static_cast<std::uint8_t>(record.interfaceNumber);
  auto pieceSize = [&]() -> std::uint32_t {
    std::array<std::uint8_t, 2> length{};
    UrbResult urb = UvcControlRequest(record.hVxProxyDev, kClassIn, kGetLen, kXuSelectorData, unitId, interface, length,
                                      true, kControlTimeoutMs);
    return urb.ok && urb.length == length.size() ? static_cast<std::uint32_t>(length[0] | length[1] << 8) : 0;
  };
  const std::uint32_t before = pieceSize();
  if (before == 0 || before == kPlainPieceSize) return false;
  DebugPrint("Data-control size %u left from before, back to %u\n", before, kPlainPieceSize);
  CommandBlock block = {0x00, 0x16, 0x00, 0x00, static_cast<std::uint8_t>(kPlainPieceSize), 0x00, 0x00, 0x00};
  if (!UvcControlRequest(record.hVxProxyDev, kClassOut, kSetCur, kXuSelectorCommand, unitId, interface, block, false,
                         kControlTimeoutMs)
           .ok) {
    return false;
  }
  return pieceSize() == kPlainPieceSize;
}

std::uint32_t XuCommandWithPiece(const DeviceRecord& record, std::uint8_t unitId, const CommandBlock& block,
                                 std::span<std::uint8_t, 8> piece, bool toHost) {
  std::array<std::uint8_t, 8> sent{};
  std::copy(piece.begin(), piece.end(), sent.begin());
  std::uint32_t error = XuCommandOnce(record, unitId, block, piece, toHost);
  if (error == kUsbOk || error == kUsbErrorDeviceGone || !XuBackToPlainPieces(record, unitId)) return error;
  std::copy(sent.begin(), sent.end(), piece.begin());
  return XuCommandOnce(record, unitId, block, piece, toHost);
}

bool XuQualify(const DeviceRecord& record, std::uint8_t unitId) {
  // Serialised with every other extension-unit command of every instance; go on after the wait regardless.
  ProcessLockGuard lock(CommandLock());
  std::array<std::uint8_t, 8> answer{};
  if (!XuCommandAndRead(record, unitId, kQualifyBlock, answer)) return false;
  if (HasSignature(answer)) return true;
  DebugPrint("Not kestran device\n");
  return false;
}


}  // namespace quillon
