// quillon: the production firmware programmer, without the window (it hands
// window mode over to the window program when that is installed).
#include <string>
#include <vector>

#include "app/quillon_main.h"

int main(int argc, char** argv) {
  return quillon::QuillonMain(std::vector<std::string>(argv, argv + argc), {"quillon", nullptr});
}
