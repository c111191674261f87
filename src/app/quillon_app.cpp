#include "app/quillon_app.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "app/gang_mode.h"
#include "app/quillon_main.h"
#include "app/tool_version.h"
#include "app/version.h"
#include "data/ic_type_ini.h"
#include "data/settings.h"
#include "device/vxcam.h"
#include "flow/flow_factory.h"
#include "flow/status.h"
#include "proxy/backend_factory.h"
#include "proxy/library.h"
#include "platform/debug_channel.h"
#include "platform/files.h"
#include "platform/trace.h"

namespace quillon {
namespace {

std::unique_ptr<OsVersionInfo> ReadOsVersion() {
  auto info = std::make_unique<OsVersionInfo>();
  utsname name{};
  if (::uname(&name) == 0) {
    unsigned major = 0, minor = 0;
    if (std::sscanf(name.release, "%u.%u", &major, &minor) >= 1) {
      info->major = major;
      info->minor = minor;
    }
  }
  return info;
}

}  // namespace

bool IsWindowMode(const std::string& argumentPart) {
  return argumentPart.empty() || EqualsIgnoreCase(argumentPart, "/forcerestart");
}

std::string ArgumentPart(const std::vector<std::string>& args) {
  std::string part;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (i > 1) part += ' ';
    part += args[i];
  }
  return part;
}

void UnavailableModes::RunBatch(const std::vector<std::string>&) {
  std::fprintf(stderr, "quillon: the batch operations are not part of this build\n");
  SetLastStatus(msg::kNotSupport);
}

void UnavailableModes::RunWindow() {
  std::fprintf(stderr, "quillon: the operator's window (%s) is not installed beside this program; see quillon --help\n",
               kWindowProgram);
  SetLastStatus(msg::kNotSupport);
}

bool CQuillonApp::InitInstance(const std::vector<std::string>& args) {
  const std::filesystem::path programDir = ProgramDir();
  // A gang worker's settings are the gang's, which named their unknown keys once.
  const char* gangLocation = std::getenv(kGangLocationEnv);
  const bool worker = gangLocation != nullptr && *gangLocation != '\0';
  if (LoadSettings(programDir.string(), !worker) == SettingsLoad::kFileUnusable) {
    SetLastStatus(msg::kNotSupport);
    return false;
  }
  if (Setting(key::kDebugLog, 0) != 0 && capture_.Start(programDir)) {
    DebugPrint("Tracing PID: %d\n", static_cast<int>(::getpid()));
  }
  TraceInit(programDir);
  toolVersionText_ = ToolVersionText(kFileVersion);
  SetStoredIniType(static_cast<int>(Setting(key::kIniType, 0)));
  PrepareSharedObjects();
  if (VxCam_Init(Setting(key::kLibType, 0)) == 0) DebugPrint("USB library start-up failed\n");

  windowMode_ = IsWindowMode(ArgumentPart(args));
  if (std::string problem = TheUsbBackend().Problem(); !problem.empty() && !windowMode_) {
    std::fprintf(stderr, "quillon: %s\n", problem.c_str());
  }
  if (windowMode_) {
    modes_.RunWindow();
  } else {
    modes_.RunBatch(args);
  }
  return false;
}

int CQuillonApp::ExitInstance() {
  ReleaseSharedObjects();
  VxCam_Uninit();
  if (Setting(key::kDebugLog, 0) != 0) capture_.Stop();
  TraceShutdown();
  TheSettings().LoadFromText("");
  int code = modes_.ExitCode().value_or(ExitCodeFromStatus(LastStatus()));
  SetLastStatus(static_cast<std::uint32_t>(code));
  return code;
}

void CQuillonApp::PrepareSharedObjects() {
  ReleaseSharedObjects();
  if (CurrentProfile() == nullptr) SetCurrentProfile(OpenProfileDocument());
  if (!osVersionInfo_) osVersionInfo_ = ReadOsVersion();
  RecreateFlow(false);
}

void CQuillonApp::ReleaseSharedObjects() {
  DestroyFlow();
  osVersionInfo_.reset();
  SetCurrentProfile(nullptr);
}

}  // namespace quillon
