// quillon-window: the quillon program with the operator's window, which
// quillon without arguments starts when this program is installed beside it.
#include <string>
#include <vector>

#include "app/quillon_main.h"
#include "ui/run_window.h"

int main(int argc, char** argv) {
  return quillon::QuillonMain(std::vector<std::string>(argv, argv + argc),
                              {quillon::kWindowProgram, &quillon::RunOperatorWindow});
}
