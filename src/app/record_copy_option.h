// The batch option that tells a write what to do with a pending copy of a
// preserved record: "--restore-record LOCATION" writes the copy taken at
// LOCATION into the unit being written, "--set-aside-record LOCATION" moves it
// out of the way. It comes as the last two arguments of a write.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "flow/preserved_record.h"

namespace quillon {

struct RecordCopyOption {
  RecordCopyInstruction instruction;
  std::string problem;  // non-empty: the command line does not parse
};

// Takes the option off `args` (the program name first), leaving the rest for
// the batch mode; an option in any other place, or without its location, is a
// problem.
RecordCopyOption TakeRecordCopyOption(std::vector<std::string>& args);

}  // namespace quillon
