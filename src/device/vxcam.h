// The flat device functions the flows call. They act on the one current device
// object (opened by VxCam_OpenDeviceByIndex) whatever handle is passed, and
// return 1 for success and 0 for failure.
//
// Transport flags: kFlagForceUnit sends through the extension unit; the reset
// functions read kFlagAudioSearch (look for the chip among audio devices after a
// reset to ROM) and kFlagReuseTransports (trust the transports already known).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "device/vendor_cmd_common.h"

namespace quillon {

class CCamDev;

using DeviceHandle = std::uint32_t;

inline constexpr std::uint32_t kFlagReuseTransports = 0x01;
inline constexpr std::uint32_t kFlagForceUnit = 0x20;
inline constexpr std::uint32_t kFlagAudioSearch = 0x40;
inline constexpr std::size_t kDevStatusLength = 104;

// The flow's device fields: the reset functions store the new handle here.
struct FlowDevice {
  DeviceHandle handle = 0;
  std::uint32_t transportFlags = 0;
};

// Starts the USB library; libType is the setting "Lib Type" (0: every access
// through the opened device).
int VxCam_Init(std::uint32_t libType);
int VxCam_Uninit();
int VxCam_GetDeviceCount();
// The handle of the device now current (opening the index-th audio device
// when none is), 0 when it cannot be opened or does not answer the signature.
DeviceHandle VxCam_OpenDeviceByIndex(int index);
// Why the last VxCam_OpenDeviceByIndex returned 0: its device result (the
// open's USB error, or kResultFail for a device that did not answer as a chip).
std::uint32_t VxCam_LastOpenFailure();
int VxCam_CloseDevice();
DeviceHandle VxCam_GetDevInst();
// The current device object (null when none), for the reset sequence's callers and tests.
CCamDev* VxCam_CurrentDevice();

int VxCam_GetDeviceIdentity(DeviceHandle h, std::uint16_t& vid, std::uint16_t& pid, std::uint16_t& rev);
int VxCam_GetDeviceIdentityEx(DeviceHandle h, std::uint16_t& vid, std::uint16_t& pid, std::uint16_t& rev,
                              std::string& manufacturer);
// Only while no device is open: the manufacturer string of device 0.
int VxCam_GetManufacturerString(std::string& text);
int VxCam_GetSerialString(DeviceHandle h, std::string& text);
int VxCam_GetFriendlyName(DeviceHandle h, std::string& text);
int VxCam_SignalArrival();

int VxCam_DevQualify(DeviceHandle h);
int VxCam_ChangeDataControlSize(DeviceHandle h, std::uint32_t& size);
// 1 when a call with `flags` would go through the extension unit (so its
// data-control size matters), 0 otherwise.
int VxCam_UsesExtensionUnit(DeviceHandle h, std::uint32_t flags);
// kDevStatusLength bytes of status.
int VxCam_GetDevStatus(DeviceHandle h, Bytes buffer, std::uint32_t flags);
int VxCam_ReadStatus(DeviceHandle h, std::uint16_t first, Bytes buffer, std::uint32_t flags);
int VxCam_ResetToRom(DeviceHandle h);
int VxCam_ReadMem(DeviceHandle h, std::uint32_t address, Bytes buffer, std::uint32_t flags);
int VxCam_WriteMem(DeviceHandle h, std::uint32_t address, ConstBytes buffer, std::uint32_t flags);
int VxCam_NorFlash_Erase(DeviceHandle h, std::uint32_t flags);
int VxCam_NorFlash_Write(DeviceHandle h, std::uint32_t address, ConstBytes buffer, std::uint32_t flags);
int VxCam_NorFlash_WriteTag(DeviceHandle h, std::uint32_t flags);
int VxCam_NorFlash_Read(DeviceHandle h, std::uint32_t address, Bytes buffer, std::uint32_t flags);
int VxCam_SPI_SF_EraseChip(DeviceHandle h, std::uint32_t flags, std::uint32_t timeoutMs);
int VxCam_SPI_SF_Read(DeviceHandle h, std::uint32_t address, Bytes buffer, std::uint32_t flags,
                      ProgressFn progress = nullptr, void* user = nullptr);
int VxCam_SPI_SF_Write(DeviceHandle h, std::uint32_t address, ConstBytes buffer, std::uint32_t flags,
                       ProgressFn progress = nullptr, void* user = nullptr);
int VxCam_SPI_SF_ReadSr(DeviceHandle h, std::uint8_t& value, std::uint32_t flags);
// The flash part's identity bytes.
int VxCam_SPI_SF_ReadID(DeviceHandle h, std::span<std::uint8_t, 8> id, std::uint32_t flags);
int VxCam_SPI_SF_WriteSr(DeviceHandle h, std::uint8_t value, std::uint32_t flags);
int VxCam_SPI_SF_WriteTag(DeviceHandle h, std::uint32_t flags);
int VxCam_I2C_EEP8_Erase(DeviceHandle h, std::uint32_t size, std::uint32_t flags);
int VxCam_I2C_EEP8_Read(DeviceHandle h, std::uint32_t address, Bytes buffer, std::uint32_t flags);
int VxCam_I2C_EEP8_Write(DeviceHandle h, std::uint32_t address, ConstBytes buffer, std::uint32_t flags);
int VxCam_I2C_EEP8_WriteTag(DeviceHandle h, std::uint32_t flags);
// The EEPROM-16 and OTP functions use the extension unit only.
int VxCam_I2C_EEP16_Erase(DeviceHandle h, std::uint32_t address, std::uint32_t length, std::uint32_t flags);
int VxCam_I2C_EEP16_Read(DeviceHandle h, std::uint32_t address, Bytes buffer, std::uint32_t flags,
                         ProgressFn progress = nullptr, void* user = nullptr);
int VxCam_I2C_EEP16_Write(DeviceHandle h, std::uint32_t address, ConstBytes buffer, std::uint32_t flags,
                          ProgressFn progress = nullptr, void* user = nullptr);
int VxCam_I2C_EEP16_WriteTag(DeviceHandle h, std::uint32_t flags);
int VxCam_OTP_Read(DeviceHandle h, std::uint32_t address, Bytes buffer, ProgressFn progress = nullptr,
                   void* user = nullptr);
int VxCam_OTP_ReadProgramFailAdr(DeviceHandle h, Bytes buffer);
int VxCam_OTP_Write(DeviceHandle h, std::uint32_t address, std::uint16_t mode, ConstBytes buffer,
                    ProgressFn progress = nullptr, void* user = nullptr);

// Reset the current chip and carry on with it once it is back (the flows pass
// the setting "Wait Time" as waitMs). On failure the current object is gone and
// flow.handle is 0: no device is open.
int VxCam_ResetToUpdateFWAndReopen(FlowDevice& flow, std::uint16_t value, std::uint32_t flags, std::uint32_t waitMs);
int VxCam_ResetToRomAndReopen(FlowDevice& flow, std::uint32_t flags, std::uint32_t waitMs);
int VxCam_ResetToRomByRequestAndReopen(FlowDevice& flow, std::uint32_t flags, std::uint32_t waitMs);

}  // namespace quillon
