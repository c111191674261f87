#include "sweep/command_line_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "app/parse_arg.h"
#include "app/quillon_main.h"
#include "flow/preserved_record.h"
#include "platform/virtual_clock.h"
#include "sim/state_file.h"

namespace quillon::sweep {
namespace {

std::string ReadText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string LastLine(const std::string& text) {
  std::string body = text;
  while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
  const std::size_t start = body.rfind('\n');
  return start == std::string::npos ? body : body.substr(start + 1);
}

std::optional<std::uint8_t> HexByte(const std::string& text, std::size_t at) {
  if (at + 2 > text.size()) return std::nullopt;
  unsigned value = 0;
  if (std::sscanf(text.c_str() + at, "%2x", &value) != 1) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

// The commands of the transfers in a transfer log, in order.
std::vector<std::string> CommandsOfLog(const std::filesystem::path& log) {
  std::vector<std::string> commands;
  std::ifstream in(log);
  std::string current = "std";
  for (std::string line; std::getline(in, line);) {
    unsigned type = 0, request = 0, value = 0, index = 0, length = 0;
    char data[5] = {};
    if (std::sscanf(line.c_str(), "%x %x %x %x %x %4s", &type, &request, &value, &index, &length, data) < 5) continue;
    SetupPacket setup{};
    setup.bmRequestType = static_cast<std::uint8_t>(type);
    setup.bRequest = static_cast<std::uint8_t>(request);
    setup.wValue = static_cast<std::uint16_t>(value);
    setup.wIndex = static_cast<std::uint16_t>(index);
    setup.wLength = static_cast<std::uint16_t>(length);
    std::vector<std::uint8_t> head;
    const std::string bytes = data;
    for (std::size_t at = 0; at < 4; at += 2) {
      if (auto b = HexByte(bytes, at)) head.push_back(*b);
    }
    commands.push_back(CommandOf(setup, head, current));
  }
  return commands;
}

// A process of its own, as on a station: nothing one run leaves in the
// program's globals (the memory type a profile chose, say) reaches the next.
// The batch mode's console lines are dropped; the sweep prints its figures.
int RunInChild(const std::vector<std::string>& args) {
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, 1);
    VirtualClock clock;
    ScopedClockOverride useClock(clock);
    const int code = QuillonMain(args, {"quillon", nullptr});
    std::fflush(nullptr);
    ::_exit(code);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string RecordsProblem(int exitCode, const std::string& result, const std::string& burnLine,
                           const std::string& jsonLine, const std::string& serial) {
  const nlohmann::json json = nlohmann::json::parse(jsonLine, nullptr, false);
  const bool pass = exitCode == 0;
  if (result != (pass ? "pass" : "fail")) return "Result.txt holds \"" + result + "\"";
  if (!json.is_object() || json.value("verdict", "") != (pass ? "PASS" : "FAIL")) return "the JSON line's verdict";
  // A run that fails before its operation starts (no chip, an image refused)
  // writes no burn line.
  if (burnLine.empty() && !pass) return {};
  const std::string verdict = pass ? "Pass," : "Fail,";
  if (burnLine.size() < 72 || burnLine.compare(63, verdict.size(), verdict) != 0) {
    return "burn_result.txt's last line is \"" + burnLine + "\"";
  }
  const std::size_t colon = burnLine.rfind(':');
  const std::string code = burnLine.substr(72, colon == std::string::npos ? std::string::npos : colon - 72);
  if (std::to_string(json.value("status_id", 0u)) != code) {
    return "burn_result.txt names " + code + ", the JSON line " + std::to_string(json.value("status_id", 0u));
  }
  if (pass && !serial.empty() && json.value("serial_number", "") != serial) {
    return "the JSON line names serial \"" + json.value("serial_number", "") + "\"";
  }
  return {};
}

RunResult RunCommandLine(const Operation& op, std::vector<sim::ChipState> chips, const std::filesystem::path& home,
                         bool record) {
  RunResult run;
  const std::filesystem::path state = home / "chips.state", trace = home / "transfers.log",
                              json = home / "runs.jsonl", settings = home / "station.ini";
  std::error_code ignored;
  // The batch mode keeps burn_result.txt in the working directory.
  std::filesystem::current_path(home, ignored);
  std::filesystem::remove(trace, ignored);
  std::filesystem::remove(json, ignored);
  std::filesystem::remove(home / kBurnLogFileName, ignored);
  std::string error;
  if (!sim::SaveStateFile(state, chips, error)) {
    run.recordsProblem = "the chips could not be saved: " + error;
    return run;
  }
  std::vector<std::string> args = {"quillon", "-f"};
  args.push_back(op.letter == 'E' ? "-erase" : op.letter == 'V' ? "-verify" : "-write");
  args.push_back(op.letter == 'E' ? "-" : op.file);
  const PreservedRecordStore copies(home);
  for (const PendingRecordCopy& copy : copies.Pending()) {
    if (op.recordCopy == Operation::RecordCopy::kDrop) copies.Remove(copy);
    if (op.recordCopy == Operation::RecordCopy::kRestore) args.insert(args.end(), {"--restore-record", copy.location});
  }
  std::ofstream(settings, std::ios::binary) << "[Quillon Config]\r\nWait Time=50\r\nSaveResultToFile=1\r\nLogType=1\r\n"
                                            << (op.norProfile ? "Ini Type=1\r\n" : "") << op.settings;
  if (op.norProfile) WriteNorProfile(home);
  ::setenv("QUILLON_HOME", home.c_str(), 1);
  ::setenv("QUILLON_SETTINGS", settings.c_str(), 1);
  ::setenv("QUILLON_SIM", state.c_str(), 1);
  ::setenv("QUILLON_RESULT_JSON", json.c_str(), 1);
  if (record) {
    ::setenv("QUILLON_SIM_TRACE", trace.c_str(), 1);
  } else {
    ::unsetenv("QUILLON_SIM_TRACE");
  }
  if (op.serial.empty()) {
    ::unsetenv("QUILLON_SERIAL");
  } else {
    ::setenv("QUILLON_SERIAL", op.serial.c_str(), 1);
  }
  run.exitCode = RunInChild(args);
  run.result = run.exitCode == 0 ? 1 : 0;
  if (!sim::LoadStateFile(state, run.chips, error)) {
    run.recordsProblem = "the chips could not be read back: " + error;
    return run;
  }
  if (record) run.commands = CommandsOfLog(trace);
  const std::string jsonLine = LastLine(ReadText(json));
  const nlohmann::json line = nlohmann::json::parse(jsonLine, nullptr, false);
  if (line.is_object()) run.status = line.value("status_id", 0u);
  run.recordsProblem = RecordsProblem(run.exitCode, LastLine(ReadText(home / kResultFileName)),
                                      LastLine(ReadText(home / kBurnLogFileName)), jsonLine, op.serial);
  return run;
}

}  // namespace quillon::sweep
