#include "device/vxcam.h"

#include <algorithm>
#include <array>
#include <vector>

#include "device/current_device.h"
#include "device/link_failure.h"
#include "device/string_descriptor.h"
#include "platform/debug_channel.h"
#include "platform/retry.h"
#include "proxy/backend_factory.h"
#include "proxy/library.h"
#include "proxy/link_steps.h"
#include "proxy/transfers.h"
#include "proxy/vendor_wire.h"

namespace quillon {
namespace {

constexpr std::uint16_t kLanguageEnglish = 0x0409;
constexpr std::size_t kStringReadLength = 256;

int Ok(std::uint32_t result) { return result == kResultOk ? 1 : 0; }

// The transport for a call: the extension unit when the flags force it, else
// the one SelectTransport picks. Null when there is none.
CVendorCmdCommon* Transport(std::uint32_t flags) {
  CVxtCam* cam = TheCurrentDevice().cam();
  if (cam == nullptr) return nullptr;
  if ((flags & kFlagForceUnit) != 0 && !TheCurrentDevice().unitSilent) return cam->extUnit();
  return cam->SelectTransport();
}

// The extension unit alone, while "Lib Type" is 0.
CExtUnit* UnitOnly() {
  CurrentDevice& current = TheCurrentDevice();
  CVxtCam* cam = current.cam();
  if (cam == nullptr || current.libType != 0) return nullptr;
  return cam->extUnit();
}

template <class Call>
int With(CVendorCmdCommon* transport, Call&& call) {
  return transport == nullptr ? 0 : Ok(call(*transport));
}

bool ReadString(UsbHandle device, std::uint8_t index, std::string& text) {
  text.clear();
  if (index == 0) return false;
  std::array<std::uint8_t, kStringReadLength> answer{};
  UrbResult urb = GetStringDescriptor(device, answer, index, kLanguageEnglish);
  if (!urb.ok) return false;
  text = StringDescriptorText(std::span<const std::uint8_t>(answer).first(std::min(urb.length, answer.size())));
  return true;
}

// Identity from the bus listing instead of the opened device ("Lib Type" not 0).
bool ListedIdentity(const std::string& instance, std::uint16_t& vid, std::uint16_t& pid, std::uint16_t& rev) {
  std::vector<UsbDeviceInfo> devices;
  if (TheUsbBackend().ListDevices(devices) != kUsbOk) return false;
  for (const UsbDeviceInfo& device : devices) {
    if (device.instance != instance) continue;
    vid = device.vendorId;
    pid = device.productId;
    rev = device.bcdDevice;
    return true;
  }
  return false;
}

}  // namespace

CurrentDevice& TheCurrentDevice() {
  static CurrentDevice current;
  return current;
}

CCamDev* VxCam_CurrentDevice() { return TheCurrentDevice().object.get(); }

int VxCam_Init(std::uint32_t libType) {
  TheCurrentDevice().libType = libType;
  return LibraryStartup() ? 1 : 0;
}

int VxCam_Uninit() {
  TheCurrentDevice().Drop();
  LibraryShutdown();
  return 1;
}

int VxCam_GetDeviceCount() {
  std::vector<ListEntry> entries;
  if (VxCam_ListDevice(entries, DeviceKind::kAudio) != kUsbOk) return 0;
  return static_cast<int>(entries.size() & 0xFF);
}

DeviceHandle VxCam_OpenDeviceByIndex(int index) {
  CurrentDevice& current = TheCurrentDevice();
  if (current.object) return current.handle;
  std::vector<ListEntry> entries;
  if (VxCam_ListDevice(entries, DeviceKind::kAudio) != kUsbOk || index < 0 ||
      static_cast<std::size_t>(index) >= entries.size()) {
    return 0;
  }
  // A stall on the one question per transport leaves a chip of ours looking
  // like no chip at all: the whole opening is asked again.
  const std::string& instance = entries[static_cast<std::size_t>(index)].instance;
  std::uint32_t failure = kResultOk;
  const bool opened = TryAttempts(LinkStepOf(LinkStep::kChipOpen).attempts, NeverStopped, [&] {
    if (const std::uint32_t result = OpenDeviceObject(instance, current.object); result != kResultOk) {
      // The platform's open gives a bare USB error, the rest a device result.
      failure = result <= 0xFFFFu ? ResultFromError(result) : result;
      current.Drop();
      return false;
    }
    current.handle = current.NewHandle();
    if (VxCam_DevQualify(current.handle) == 0) {
      // It did not answer the question every chip of ours answers.
      failure = ResultFromError(kUsbErrorIo);
      current.Drop();
      return false;
    }
    return true;
  });
  current.lastOpenFailure = opened ? kResultOk : failure;
  return opened ? current.handle : 0;
}

int VxCam_CloseDevice() {
  TheCurrentDevice().Drop();
  return 1;
}

std::uint32_t VxCam_LastOpenFailure() { return TheCurrentDevice().lastOpenFailure; }

DeviceHandle VxCam_GetDevInst() {
  CurrentDevice& current = TheCurrentDevice();
  return current.object ? current.handle : 0;
}

int VxCam_GetDeviceIdentity(DeviceHandle, std::uint16_t& vid, std::uint16_t& pid, std::uint16_t& rev) {
  CurrentDevice& current = TheCurrentDevice();
  if (!current.object) return 0;
  if (current.libType != 0) return ListedIdentity(current.object->record().instance, vid, pid, rev) ? 1 : 0;
  const DeviceInfoRecord& info = current.object->info();
  vid = info.VendorId();
  pid = info.ProductId();
  rev = info.BcdDevice();
  return 1;
}

int VxCam_GetDeviceIdentityEx(DeviceHandle h, std::uint16_t& vid, std::uint16_t& pid, std::uint16_t& rev,
                              std::string& manufacturer) {
  if (VxCam_GetDeviceIdentity(h, vid, pid, rev) == 0) return 0;
  CCamDev& object = *TheCurrentDevice().object;
  return ReadString(object.record().hVxProxyDev, object.info().deviceDescriptor[14], manufacturer) ? 1 : 0;
}

int VxCam_GetManufacturerString(std::string& text) {
  text.clear();
  if (TheCurrentDevice().object) return 0;
  DeviceHandle h = VxCam_OpenDeviceByIndex(0);
  if (h == 0) return 0;
  CCamDev& object = *TheCurrentDevice().object;
  const bool ok = ReadString(object.record().hVxProxyDev, object.info().deviceDescriptor[14], text);
  VxCam_CloseDevice();
  return ok ? 1 : 0;
}

int VxCam_GetSerialString(DeviceHandle, std::string& text) {
  CurrentDevice& current = TheCurrentDevice();
  if (!current.object) return 0;
  return ReadString(current.object->record().hVxProxyDev, current.object->info().deviceDescriptor[16], text) ? 1 : 0;
}

int VxCam_GetFriendlyName(DeviceHandle, std::string& text) {
  CurrentDevice& current = TheCurrentDevice();
  if (!current.object) return 0;
  text = current.object->record().friendlyName;
  return 1;
}

int VxCam_SignalArrival() {
  CurrentDevice& current = TheCurrentDevice();
  CVxtCam* cam = current.cam();
  if (cam == nullptr || current.libType != 0) return 0;
  cam->SignalArrival();
  return 1;
}

int VxCam_DevQualify(DeviceHandle) {
  const std::optional<LinkFailure> before = PendingLinkFailure();
  CExtUnit* unit = UnitOnly();
  if (unit != nullptr && unit->DevQualify()) return 1;
  // A chip that an earlier run left at another piece size answers once back at 8.
  if (unit != nullptr && unit->dataControlSize() == kDefaultDataControlSize &&
      XuBackToPlainPieces(TheCurrentDevice().object->record(), unit->unitId()) && unit->DevQualify()) {
    return 1;
  }
  // A chip that answers only vendor requests (its extension unit stalls or is
  // missing) carries the same signature in its status block.
  CurrentDevice& current = TheCurrentDevice();
  CVxtCam* cam = current.cam();
  if (cam == nullptr || current.libType != 0 || cam->info().vendorTransport == 0) return 0;
  CVendorCmdCommon* transport = cam->SelectTransport();
  if (transport == nullptr || transport == cam->extUnit()) return 0;
  std::array<std::uint8_t, kDevStatusLength> status{};
  if (transport->GetDevStatus(0, status) != kResultOk) return 0;
  if (!std::equal(kChipSignature.begin(), kChipSignature.end(), status.begin() + kStatusSignatureOffset)) return 0;
  current.unitSilent = true;
  // The stalled unit was this chip's answer, not a failing link.
  RestoreLinkFailure(before);
  return 1;
}

int VxCam_ChangeDataControlSize(DeviceHandle, std::uint32_t& size) {
  CVxtCam* cam = TheCurrentDevice().cam();
  if (cam == nullptr || cam->extUnit() == nullptr) return 0;
  return cam->extUnit()->ChangeDataControlSize(size) ? 1 : 0;
}

int VxCam_UsesExtensionUnit(DeviceHandle, std::uint32_t flags) {
  CVxtCam* cam = TheCurrentDevice().cam();
  if (cam == nullptr || cam->extUnit() == nullptr) return 0;
  return Transport(flags) == cam->extUnit() ? 1 : 0;
}

int VxCam_GetDevStatus(DeviceHandle, Bytes buffer, std::uint32_t flags) {
  if (buffer.size() < kDevStatusLength) return 0;
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.GetDevStatus(0, buffer.first(kDevStatusLength)); });
}

int VxCam_ReadStatus(DeviceHandle, std::uint16_t first, Bytes buffer, std::uint32_t flags) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.GetDevStatus(first, buffer); });
}

int VxCam_ResetToRom(DeviceHandle) {
  return With(Transport(0), [&](CVendorCmdCommon& t) { return t.ResetToRom(); });
}

int VxCam_ReadMem(DeviceHandle, std::uint32_t address, Bytes buffer, std::uint32_t flags) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.ReadMem(address, buffer); });
}

int VxCam_WriteMem(DeviceHandle, std::uint32_t address, ConstBytes buffer, std::uint32_t flags) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.WriteMem(address, buffer); });
}

int VxCam_NorFlash_Erase(DeviceHandle, std::uint32_t flags) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.NorFlash_Erase(); });
}

int VxCam_NorFlash_Write(DeviceHandle, std::uint32_t address, ConstBytes buffer, std::uint32_t flags) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.NorFlash_Write(address, buffer); });
}

int VxCam_NorFlash_WriteTag(DeviceHandle, std::uint32_t flags) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.NorFlash_WriteTag(); });
}

int VxCam_NorFlash_Read(DeviceHandle, std::uint32_t address, Bytes buffer, std::uint32_t flags) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.NorFlash_Read(address, buffer); });
}

int VxCam_SPI_SF_EraseChip(DeviceHandle, std::uint32_t flags, std::uint32_t timeoutMs) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.SPI_SF_EraseChip(timeoutMs); });
}

int VxCam_SPI_SF_Read(DeviceHandle, std::uint32_t address, Bytes buffer, std::uint32_t flags, ProgressFn progress,
                      void* user) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.SPI_SF_Read(address, buffer, 0, progress, user); });
}

int VxCam_SPI_SF_Write(DeviceHandle, std::uint32_t address, ConstBytes buffer, std::uint32_t flags,
                       ProgressFn progress, void* user) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.SPI_SF_Write(address, buffer, progress, user); });
}

int VxCam_SPI_SF_ReadSr(DeviceHandle, std::uint8_t& value, std::uint32_t flags) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.SPI_SF_ReadSr(value); });
}

int VxCam_SPI_SF_ReadID(DeviceHandle, std::span<std::uint8_t, 8> id, std::uint32_t flags) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.SPI_SF_ReadID(id); });
}

int VxCam_SPI_SF_WriteSr(DeviceHandle, std::uint8_t value, std::uint32_t flags) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.SPI_SF_WriteSr(value); });
}

int VxCam_SPI_SF_WriteTag(DeviceHandle, std::uint32_t flags) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.SPI_SF_WriteTag(); });
}

int VxCam_I2C_EEP8_Erase(DeviceHandle, std::uint32_t size, std::uint32_t flags) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.I2C_EEP8_Erase(size); });
}

int VxCam_I2C_EEP8_Read(DeviceHandle, std::uint32_t address, Bytes buffer, std::uint32_t flags) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.I2C_EEP8_Read(address, buffer); });
}

int VxCam_I2C_EEP8_Write(DeviceHandle, std::uint32_t address, ConstBytes buffer, std::uint32_t flags) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.I2C_EEP8_Write(address, buffer); });
}

int VxCam_I2C_EEP8_WriteTag(DeviceHandle, std::uint32_t flags) {
  return With(Transport(flags), [&](CVendorCmdCommon& t) { return t.I2C_EEP8_WriteTag(); });
}

int VxCam_I2C_EEP16_Erase(DeviceHandle, std::uint32_t address, std::uint32_t length, std::uint32_t) {
  const std::vector<std::uint8_t> blank(length, 0xFF);
  return With(UnitOnly(), [&](CVendorCmdCommon& t) { return t.I2C_EEP16_Write(address, blank); });
}

int VxCam_I2C_EEP16_Read(DeviceHandle, std::uint32_t address, Bytes buffer, std::uint32_t, ProgressFn progress,
                         void* user) {
  return With(UnitOnly(), [&](CVendorCmdCommon& t) { return t.I2C_EEP16_Read(address, buffer, progress, user); });
}

int VxCam_I2C_EEP16_Write(DeviceHandle, std::uint32_t address, ConstBytes buffer, std::uint32_t, ProgressFn progress,
                          void* user) {
  return With(UnitOnly(), [&](CVendorCmdCommon& t) { return t.I2C_EEP16_Write(address, buffer, progress, user); });
}

int VxCam_I2C_EEP16_WriteTag(DeviceHandle, std::uint32_t) {
  return With(UnitOnly(), [&](CVendorCmdCommon& t) { return t.I2C_EEP16_WriteTag(); });
}

int VxCam_OTP_Read(DeviceHandle, std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return With(UnitOnly(), [&](CVendorCmdCommon& t) { return t.OTP_Read(address, buffer, progress, user); });
}

int VxCam_OTP_ReadProgramFailAdr(DeviceHandle, Bytes buffer) {
  return With(UnitOnly(), [&](CVendorCmdCommon& t) { return t.OTP_ReadProgramFailAdr(buffer); });
}

int VxCam_OTP_Write(DeviceHandle, std::uint32_t address, std::uint16_t mode, ConstBytes buffer, ProgressFn progress,
                    void* user) {
  return With(UnitOnly(), [&](CVendorCmdCommon& t) { return t.OTP_Write(address, buffer, mode, progress, user); });
}

}  // namespace quillon
