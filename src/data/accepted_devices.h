// The built-in accepted-device list: which device identities the tool takes.
#pragma once

#include <string_view>

namespace quillon {

inline constexpr int kAcceptedListResource = 3034;

// True when a line of `listText` (trimmed; a revision part cut off, so any
// revision matches) is contained in `idText`, compared without regard to case.
// Lines beginning with "//" never match, since no identity contains "//".
bool ListAcceptsIgnoringRevision(std::string_view listText, std::string_view idText);

// "VidPidList.ini": true when a line of `listText` (trimmed) names a revision
// and is contained in `idText`, compared without regard to case.
bool ListFileAccepts(std::string_view listText, std::string_view idText);

// The same against the built-in list; `idText` is "VID_%04X&PID_%04X&REV_%04X".
bool IsInBuiltInVidPidList(std::string_view idText);

}  // namespace quillon
