#include "flow/memory_probe.h"

#include <algorithm>
#include <cstddef>

#include "data/config_record.h"
#include "data/working_memory.h"
#include "flow/eeprom_flow.h"
#include "flow/flow_factory.h"
#include "flow/flow_helpers.h"
#include "flow/status.h"
#include "flow/step_runner.h"

namespace quillon {
namespace {

constexpr std::uint8_t kAreaSignature = 0xA5;
// The erase and the dump of an EEPROM cover at most the 64 KB that the batch
// mode gives every other command, not the 128 KB working memory of a flash chip.
constexpr std::size_t kEepromBatchSize = 0x10000;

std::optional<MemoryType> EepromHeaderType(const std::optional<std::array<std::uint8_t, 2>>& head) {
  if (!head || (*head)[1] != kAreaSignature) return std::nullopt;
  if (auto type = MemoryTypeOfTypeByte((*head)[0]); type == MemoryType::Eeprom8 || type == MemoryType::Eeprom16) {
    return type;
  }
  return std::nullopt;
}

std::optional<std::array<std::uint8_t, 2>> EepromHead(const CDevFlow& flow, MemoryType width) {
  std::array<std::uint8_t, 2> head{};
  if (EepromWidthOf(width).read(flow.chip.device.handle, 0, head, flow.chip.device.transportFlags) == 0) {
    return std::nullopt;
  }
  return head;
}

std::optional<MemoryType> AskRound(const CDevFlow& flow) {
  MemoryAnswers answers{EepromHead(flow, MemoryType::Eeprom16), EepromHead(flow, MemoryType::Eeprom8)};
  if (auto eeprom = MemoryNamedBy(answers)) return eeprom;
  std::uint8_t status = 0;
  answers.flash = VxCam_SPI_SF_ReadSr(flow.chip.device.handle, status, flow.chip.device.transportFlags) != 0;
  return MemoryNamedBy(answers);
}

}  // namespace

std::optional<MemoryType> MemoryNamedBy(const MemoryAnswers& answers) {
  if (auto type = EepromHeaderType(answers.wide)) return type;
  if (auto type = EepromHeaderType(answers.narrow)) return type;
  // A blank EEPROM: only a width that answers alone is taken.
  if (answers.wide.has_value() != answers.narrow.has_value()) {
    return answers.wide ? MemoryType::Eeprom16 : MemoryType::Eeprom8;
  }
  if (answers.flash) return MemoryType::SpiFlash;
  return std::nullopt;
}

bool AdoptProbedMemoryType() {
  CDevFlow* flow = TheFlow();
  if (flow == nullptr) return false;
  if (flow->memoryType() != MemoryType::SpiFlash) return true;
  std::optional<MemoryType> found;
  const auto ask = [&] {
    found = AskRound(*flow);
    return found.has_value();
  };
  const DeviceHandle handle = flow->chip.device.handle;
  if (!Retried(kProbeAttempts, ask) && !ProbeOnceMoreIfChipAnswers(handle, flow->chip.device.transportFlags, ask)) {
    // No memory answered: the chip's own answer (an OTP chip, say) when the
    // link was up for it; else the link went and is the cause.
    if (!PendingLinkFailure()) return true;
    PostFlowMessage(WM_FLOW_FAIL, msg::kLinkFail);
    return false;
  }
  if (*found == MemoryType::SpiFlash) return true;
  SetCurrentMemoryType(*found);
  SetWorkingMemorySize(std::min<std::size_t>(WorkingMemorySize(), kEepromBatchSize));
  return RecreateFlow(true) != nullptr;
}

}  // namespace quillon
