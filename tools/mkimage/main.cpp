// quillon-mkimage: writes one firmware image; exit 0, or 1 with a one-line error.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/tool_version.h"
#include "image_maker.h"

int main(int argc, char** argv) {
  using namespace quillon::mkimage;
  std::vector<std::string> args(argv + 1, argv + argc);
  // Alone, --version asks for the program; with a value it gives the image's version record.
  if (args.size() == 1 && args[0] == "--version") {
    std::fputs(quillon::VersionLine("quillon-mkimage").c_str(), stdout);
    return 0;
  }
  ImageSpec spec;
  bool help = false;
  std::string error;
  auto out = ParseArguments(args, spec, &help, &error);
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!out) {
    std::fprintf(stderr, "quillon-mkimage: %s; see quillon-mkimage --help\n", error.c_str());
    return 1;
  }
  auto image = MakeImage(spec, &error);
  if (!image) {
    std::fprintf(stderr, "quillon-mkimage: %s\n", error.c_str());
    return 1;
  }
  std::ofstream file(*out, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(image->data()), static_cast<std::streamsize>(image->size()));
  file.close();
  if (!file) {
    std::fprintf(stderr, "quillon-mkimage: cannot write '%s'\n", out->c_str());
    return 1;
  }
  return 0;
}
