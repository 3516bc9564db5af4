// System services the updater uses: file versions, its own path, the system directory.
#pragma once

#include <optional>
#include <string>

namespace trevik {

// The "FileVersion" text of a file's version resource in its first translation; nothing when the
// file has no readable version resource. Reports nothing to the user.
std::optional<std::wstring> ReadFileVersionText(const std::wstring& path);

// Full path of the running program.
std::optional<std::wstring> RunningProgramPath();

// The system directory as the system reports it.
std::optional<std::wstring> SystemDirectoryPath();

}  // namespace trevik
