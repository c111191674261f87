#include <iostream>
#include <string>
#include <vector>

#include "tools/sim/sim_cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return quillon::sim::RunSimCli(args, std::cout, std::cerr);
}
