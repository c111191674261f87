#include <iostream>
#include <string>
#include <vector>

#include "app/tool_version.h"
#include "tools/sim/sim_cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "--version") {
    std::cout << quillon::VersionLine("quillon-sim");
    return 0;
  }
  return quillon::sim::RunSimCli(args, std::cout, std::cerr);
}
