// The commands of quillon-sim: new, show, load, dump, fault and stats on a
// state file. Exit code 0, or 1 with a one-line error on `err`.
#pragma once

#include <ostream>
#include <span>
#include <string>

namespace quillon::sim {

int RunSimCli(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace quillon::sim
