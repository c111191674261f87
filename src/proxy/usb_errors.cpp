#include "proxy/usb_errors.h"

namespace quillon {

std::string_view UsbErrorName(std::uint32_t code) {
  switch (code) {
    case kUsbOk: return "ok";
    case kUsbErrorNotFound: return "not found";
    case kUsbErrorAccessDenied: return "access denied";
    case kUsbErrorNotReady: return "not ready";
    case kUsbErrorIo: return "stall or I/O error";
    case kUsbErrorInvalidArgument: return "invalid argument";
    case kUsbErrorBusy: return "busy";
    case kUsbErrorNoMoreItems: return "no more items";
    case kUsbErrorDeviceGone: return "device gone";
    case kUsbErrorTimeout: return "time-out";
    default: return "error";
  }
}

}  // namespace quillon
