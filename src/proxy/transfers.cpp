#include "proxy/transfers.h"

#include "platform/debug_channel.h"
#include "proxy/backend_factory.h"
#include "proxy/library.h"
#include "proxy/vendor_wire.h"

namespace quillon {
namespace {

constexpr std::uint8_t kGetDescriptor = 6;

UrbResult DescriptorRead(UsbHandle device, std::uint8_t type, std::uint8_t index, std::uint16_t languageId,
                         std::span<std::uint8_t> buffer) {
  SetupPacket setup{0x80, kGetDescriptor, static_cast<std::uint16_t>(type << 8 | index), languageId,
                    static_cast<std::uint16_t>(buffer.size())};
  return VxProxy_SendUrb(device, setup, buffer, kDescriptorTimeoutMs);
}

}  // namespace

std::uint32_t VxProxy_Open(const std::string& instance, UsbHandle& out) {
  out = 0;
  if (!LibraryStarted()) return kErrorNotStarted;
  std::uint32_t error = TheUsbBackend().Open(instance, out);
  if (error != kUsbOk) {
    DebugPrint("IOCTL_VXPROXY_OPEN_DEVICE_BY_HANDLE failed %d\n", static_cast<int>(error));
    out = 0;
  }
  return error;
}

std::uint32_t VxProxy_Close(UsbHandle device) {
  if (!LibraryStarted() || device == 0) return kUsbOk;
  TheUsbBackend().Close(device);
  return kUsbOk;
}

UrbResult VxProxy_SendUrb(UsbHandle device, const SetupPacket& setup, std::span<std::uint8_t> data,
                          std::uint32_t timeoutMs) {
  if (!LibraryStarted()) return {false, kErrorNotStarted, 0};
  if (data.size() < setup.wLength) return {false, kUsbErrorInvalidArgument, 0};
  TransferResult result = TheUsbBackend().ControlTransfer(device, setup, data.first(setup.wLength), timeoutMs);
  if (!result.ok()) {
    DebugPrint("IOCTL_VXPROXY_SEND_URB failed %d\n", static_cast<int>(result.error));
    return {false, result.error, 0};
  }
  return {true, kUsbOk, result.length};
}

UrbResult GetDeviceDescriptor(UsbHandle device, std::span<std::uint8_t, 18> buffer) {
  UrbResult result = DescriptorRead(device, 1, 0, 0, buffer);
  if (result.ok && result.length != 18) result.ok = false;
  if (!result.ok) DebugPrint("Urb failed %08X\n", result.error);
  return result;
}

UrbResult GetConfigureDescriptor(UsbHandle device, std::span<std::uint8_t> buffer) {
  UrbResult result = DescriptorRead(device, 2, 0, 0, buffer);
  if (result.ok && result.length != buffer.size()) result.ok = false;
  if (!result.ok) DebugPrint("GetConfigureDescriptor failed, UrbStatus %08X\n", result.error);
  return result;
}

UrbResult GetStringDescriptor(UsbHandle device, std::span<std::uint8_t> buffer, std::uint8_t index,
                              std::uint16_t languageId) {
  UrbResult result = DescriptorRead(device, 3, index, languageId, buffer);
  if (!result.ok) DebugPrint("GetStringDescriptor failed, UrbStatus %08X\n", result.error);
  return result;
}

SetupPacket UvcControlSetup(std::uint8_t request, std::uint8_t selector, std::uint8_t unitId,
                            std::uint8_t interfaceNumber, std::uint16_t length, bool deviceToHost) {
  return {deviceToHost ? kClassIn : kClassOut, request, static_cast<std::uint16_t>(selector << 8),
          static_cast<std::uint16_t>(unitId << 8 | interfaceNumber), length};
}

SetupPacket VendorSetup(std::uint8_t requestType, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                        std::uint16_t length, std::uint32_t transferFlags) {
  auto type = static_cast<std::uint8_t>((requestType & 0x7F) | ((transferFlags & 1) != 0 ? 0x80 : 0x00));
  return {type, request, value, index, length};
}

UrbResult UvcControlRequest(UsbHandle device, std::uint8_t requestType, std::uint8_t request, std::uint8_t selector,
                            std::uint8_t unitId, std::uint8_t interfaceNumber, std::span<std::uint8_t> buffer,
                            bool deviceToHost, std::uint32_t timeoutMs) {
  SetupPacket setup = UvcControlSetup(request, selector, unitId, interfaceNumber,
                                      static_cast<std::uint16_t>(buffer.size()), deviceToHost);
  // The type and recipient bits are the caller's; the direction follows the transfer.
  setup.bmRequestType = static_cast<std::uint8_t>((requestType & 0x7F) | (deviceToHost ? 0x80 : 0x00));
  UrbResult result = VxProxy_SendUrb(device, setup, buffer, timeoutMs);
  if (!result.ok) DebugPrint("UvcControlRequest failed, UrbStatus %08X\n", result.error);
  return result;
}

UrbResult UsbVendorRequest(UsbHandle device, std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                           std::uint16_t index, std::span<std::uint8_t> buffer, std::uint32_t transferFlags,
                           std::uint32_t timeoutMs) {
  DebugPrint("requestType is 0x%02x, request is 0x%02x\n", requestType, request);
  SetupPacket setup =
      VendorSetup(requestType, request, value, index, static_cast<std::uint16_t>(buffer.size()), transferFlags);
  UrbResult result = VxProxy_SendUrb(device, setup, buffer, timeoutMs);
  if (!result.ok) DebugPrint("UsbVendorRequest failed, UrbStatus %08X\n", result.error);
  return result;
}

}  // namespace quillon
