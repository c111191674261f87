#include "app/record_copy_option.h"

#include <algorithm>

namespace quillon {
namespace {

constexpr const char* kRestore = "--restore-record";
constexpr const char* kSetAside = "--set-aside-record";

bool IsOptionName(const std::string& arg) { return arg == kRestore || arg == kSetAside; }

}  // namespace

RecordCopyOption TakeRecordCopyOption(std::vector<std::string>& args) {
  RecordCopyOption option;
  const auto first = std::find_if(args.begin(), args.end(), IsOptionName);
  if (first == args.end()) return option;
  const std::string name = *first;
  const bool last = args.size() >= 2 && first == args.end() - 2 && !args.back().empty() && args.back()[0] != '-';
  const bool write = args.size() >= 3 && args[1] == "-f" &&
                     (args[2] == "-write" || args[2].find(".rfw") != std::string::npos);
  if (!last || !write) {
    option.problem = name + " LOCATION comes as the last two arguments of a write";
    return option;
  }
  if (name == kRestore) {
    option.instruction.restore = args.back();
  } else {
    option.instruction.setAside.push_back(args.back());
  }
  args.resize(args.size() - 2);
  return option;
}

}  // namespace quillon
