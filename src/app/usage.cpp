#include "app/usage.h"

namespace quillon {

const char* UsageText() {
  return "Usage:\n"
         "  quillon                              open the operator's window\n"
         "  quillon /forcerestart                the same\n"
         "  quillon -f -write FILE [-d N]        write the image FILE into the chip's memory\n"
         "  quillon -f -write builtin [-d N]     write the chip's built-in image\n"
         "  quillon -f -erase [X -d N]           erase the chip's memory\n"
         "  quillon -f -verify FILE [-d N]       compare the chip's memory with the image FILE\n"
         "  quillon -f -version [X -d N]         print the running firmware version\n"
         "  quillon -f -detect FILE [-d N]       report the OTP usage for the image FILE\n"
         "  quillon -f -dumpotp FILE [-d N]      read the OTP content into FILE\n"
         "  quillon -f -dumpspi FILE [-d N]      read 64 KB of SPI flash into FILE\n"
         "  quillon -f IMAGE.rfw [X -d N]        write IMAGE.rfw (it must exist)\n"
         "  quillon --list                       every connected chip: location, identity, transports, accepted\n"
         "  quillon --help                       this text\n"
         "  quillon --version                    the program version\n"
         "\n"
         "-d N is only read as the fourth argument: it selects the chip at position N (0, 1, 2, ...) of\n"
         "the bus listing and no other; when that chip is missing or does not open, the run fails.\n"
         "Commands without a file take any placeholder word X before it: quillon -f -erase - -d 2.\n"
         "A bare FILE name is looked up in the current directory, then in the program directory.\n"
         "\"builtin\" as FILE writes the image built into quillon for the chip; a named FILE that cannot\n"
         "be loaded is never replaced by it. stderr names the image that is written and its version.\n"
         "\n"
         "Exit code: 0 exactly when the operation passed (its \"... pass!\" line was printed, or for\n"
         "-version the version was read); 1 for everything else: a command line that does not parse\n"
         "(the usage is printed), no chip, an image refused, a failed operation, or a Result.txt or\n"
         "burn_result.txt that the settings ask for and that cannot be written.\n"
         "\n"
         "Environment: QUILLON_HOME (program directory: settings, result files, *.INI, *.rfw),\n"
         "QUILLON_SETTINGS (a settings file instead of the built-in settings),\n"
         "QUILLON_SERIAL (the serial number that \"SaveSN\" writes into the image),\n"
         "QUILLON_DEBUG=1 (echo every debug line to stderr),\n"
         "QUILLON_SIM=STATE (use the simulated chips of STATE, made by quillon-sim, instead of USB),\n"
         "QUILLON_SIM_TRACE=FILE (append every control transfer to the simulated chips to FILE),\n"
         "QUILLON_RESULT_JSON=FILE (append one JSON line per run to FILE; setting ResultJson does the same).\n";
}

}  // namespace quillon
