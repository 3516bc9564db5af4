#include "win32_platform.h"

#include <windows.h>

#include <vector>

#include "updater_core.h"

namespace trevik {

std::optional<std::wstring> ReadFileVersionText(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return std::nullopt;
  std::vector<unsigned char> block(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return std::nullopt;

  void* translationValue = nullptr;
  UINT translationBytes = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &translationValue,
                      &translationBytes)) {
    return std::nullopt;
  }
  const auto translation = FirstTranslation(translationValue, translationBytes);
  if (!translation) return std::nullopt;

  const std::wstring query = StringFileInfoQuery(*translation, L"FileVersion");
  void* value = nullptr;
  UINT length = 0;  // in characters for a string value
  if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || value == nullptr) {
    return std::nullopt;
  }
  // The value lies inside the block; never read past its end whatever length is claimed.
  const auto* begin = static_cast<const unsigned char*>(value);
  const auto* end = block.data() + block.size();
  if (begin < block.data() || begin >= end) return std::nullopt;
  const std::size_t room = static_cast<std::size_t>(end - begin) / sizeof(wchar_t);
  return CopyVersionValue(static_cast<const wchar_t*>(value),
                          length < room ? static_cast<std::size_t>(length) : room);
}

std::optional<std::wstring> RunningProgramPath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::nullopt;
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    // Cut short: try again with more room, up to the longest path the system knows.
    if (buffer.size() >= 32768) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

std::optional<std::wstring> SystemDirectoryPath() {
  const UINT needed = GetSystemDirectoryW(nullptr, 0);
  if (needed == 0) return std::nullopt;
  std::vector<wchar_t> buffer(needed);
  const UINT n = GetSystemDirectoryW(buffer.data(), needed);
  if (n == 0 || n >= needed) return std::nullopt;
  return std::wstring(buffer.data(), n);
}

}  // namespace trevik
