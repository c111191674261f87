#include "flow/front_end.h"

namespace quillon {
namespace {

FlowFrontEnd*& Installed() {
  static FlowFrontEnd* installed = nullptr;
  return installed;
}

}  // namespace

FlowFrontEnd& TheFrontEnd() {
  static FlowFrontEnd plain;
  FlowFrontEnd* installed = Installed();
  return installed != nullptr ? *installed : plain;
}

void SetFrontEnd(FlowFrontEnd* frontEnd) { Installed() = frontEnd; }

}  // namespace quillon
