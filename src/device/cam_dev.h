// The device object: one opened chip with its own device record, its copy of
// the probe's information record and (for a supported chip) its command
// transports, of which SelectTransport picks one per call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "device/arrival_event.h"
#include "device/ext_unit.h"
#include "device/vendor_request_v2.h"
#include "proxy/device_record.h"

namespace quillon {

// A device the tool does not support: record and information only.
class CCamDev {
 public:
  CCamDev() = default;
  virtual ~CCamDev();
  CCamDev(const CCamDev&) = delete;
  CCamDev& operator=(const CCamDev&) = delete;

  DeviceRecord& record() { return record_; }
  const DeviceInfoRecord& info() const { return info_; }
  void set_info(const DeviceInfoRecord& info) { info_ = info; }

 protected:
  std::uint32_t reserved_ = 0;
  DeviceRecord record_;
  DeviceInfoRecord info_;
};

class CVxtCam final : public CCamDev {
 public:
  CVxtCam() = default;
  ~CVxtCam() override;

  // From the status copy: 0, 1, 2, 3 by the chip's interface, -1 when unknown.
  virtual int GetChipInterfaceType();
  // Flash write protection and the flash pins through chip registers; results
  // are device result codes.
  virtual std::uint32_t ProtectFlash();
  virtual std::uint32_t UnprotectFlash();
  virtual std::uint32_t SetFlashPinsA();
  virtual std::uint32_t SetFlashPinsB();
  virtual std::uint32_t SpiControllerCommand(std::uint8_t opcode, std::uint32_t address);
  virtual void SignalArrival();

  // The vendor requests when the chip has them, else the extension unit, else
  // null; probes the record first when it has not been probed.
  CVendorCmdCommon* SelectTransport();
  CExtUnit* extUnit() { return extUnit_.get(); }
  CVendorRequestV2* vendorRequest() { return vendorRequest_.get(); }
  ArrivalEvent& arrival() { return arrival_; }

  // Drops the transports and makes new ones for the record as it is now (after
  // a reset the record is another device).
  void RebuildTransports();

 private:
  std::uint32_t SetProtection(bool protect);
  std::uint32_t ReadRegister(std::uint16_t address, std::uint8_t& value);
  std::uint32_t WriteRegister(std::uint16_t address, std::uint8_t value);
  std::uint32_t WaitStatusIdle(std::uint32_t result, std::uint8_t& status);

  std::unique_ptr<CExtUnit> extUnit_;
  std::unique_ptr<CVendorRequestV2> vendorRequest_;
  ArrivalEvent arrival_;
};

// The device object for an opened, probed record (null when the probe fails or
// the device cannot be opened again). The object opens the device a second
// time into its own record.
std::unique_ptr<CCamDev> CreateDeviceObject(DeviceRecord& record);
// Opens `instance` and builds its device object: 0, the open's error, or
// kResultFail when no object was built.
std::uint32_t OpenDeviceObject(const std::string& instance, std::unique_ptr<CCamDev>& out);

}  // namespace quillon
