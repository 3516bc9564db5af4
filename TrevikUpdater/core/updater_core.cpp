#include "updater_core.h"

#include <cstring>

namespace trevik {

namespace {

wchar_t FoldLatin(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

void AppendHex4(std::wstring& out, std::uint16_t value) {
  static constexpr wchar_t kDigits[] = L"0123456789abcdef";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kDigits[(value >> shift) & 0xF]);
}

}  // namespace

bool EqualsIgnoringLatinCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldLatin(a[i]) != FoldLatin(b[i])) return false;
  }
  return true;
}

bool IsCurrentVersion(std::wstring_view version) {
  return EqualsIgnoringLatinCase(version, kCurrentDriverVersion);
}

std::wstring VersionOrUnknown(const std::optional<std::wstring>& version) {
  return version ? *version : std::wstring(kUnknownVersion);
}

std::optional<Translation> FirstTranslation(const void* value, std::size_t bytes) {
  if (value == nullptr || bytes < 4) return std::nullopt;
  unsigned char raw[4];
  std::memcpy(raw, value, sizeof raw);
  // Little-endian WORD pair, as Windows stores it.
  Translation t;
  t.language = static_cast<std::uint16_t>(raw[0] | (raw[1] << 8));
  t.codePage = static_cast<std::uint16_t>(raw[2] | (raw[3] << 8));
  return t;
}

std::wstring StringFileInfoQuery(Translation translation, std::wstring_view name) {
  std::wstring query = L"\\StringFileInfo\\";
  AppendHex4(query, translation.language);
  AppendHex4(query, translation.codePage);
  query += L'\\';
  query += name;
  return query;
}

std::wstring CopyVersionValue(const wchar_t* value, std::size_t length) {
  std::wstring out;
  if (value == nullptr) return out;
  const std::size_t limit = kVersionTextCapacity - 1;
  for (std::size_t i = 0; i < length && out.size() < limit && value[i] != L'\0'; ++i) {
    out.push_back(value[i]);
  }
  return out;
}

std::optional<std::wstring> DirectoryOf(std::wstring_view path) {
  const std::size_t cut = path.find_last_of(L"\\/");
  if (cut == std::wstring_view::npos || cut == 0) return std::nullopt;
  return std::wstring(path.substr(0, cut));
}

std::wstring JoinPath(std::wstring_view directory, std::wstring_view name) {
  std::wstring out(directory);
  if (!out.empty() && out.back() != L'\\' && out.back() != L'/') out += L'\\';
  out += name;
  return out;
}

std::wstring InstalledDriverPath(std::wstring_view systemDirectory) {
  std::wstring out(systemDirectory);
  while (!out.empty() && (out.back() == L'\\' || out.back() == L'/')) out.pop_back();
  out += kInstalledDriverSuffix;
  return out;
}

unsigned AgreementResourceId(std::uint32_t systemLocale) {
  return systemLocale == kLocaleJapanese ? kAgreementJapaneseId : kAgreementEnglishId;
}

std::string TerminatedAgreementText(const void* bytes, std::size_t size) {
  std::string text;
  if (bytes != nullptr && size != 0) text.assign(static_cast<const char*>(bytes), size);
  // std::string keeps its own terminator; c_str() hands it over with the size + 1 bytes.
  return text;
}

AgreementTexts LoadAgreementTexts(
    const std::function<std::optional<std::wstring>(unsigned id)>& loadString) {
  std::wstring buffer;
  auto next = [&](unsigned id) {
    if (auto loaded = loadString(id)) buffer = *loaded;
    return buffer;
  };
  AgreementTexts texts;
  texts.heading = next(kIdsReadAgreement);
  texts.question = next(kIdsAcceptQuestion);
  texts.accept = next(kIdsYes);
  texts.decline = next(kIdsNo);
  return texts;
}

std::optional<std::wstring> MainDialogLogic::InstalledPath() {
  auto system = platform_.SystemDirectory();
  if (!system || system->empty()) return std::nullopt;
  return InstalledDriverPath(*system);
}

std::optional<std::wstring> MainDialogLogic::ProgramFile(std::wstring_view name) {
  auto program = platform_.ProgramPath();
  if (!program) return std::nullopt;
  auto directory = DirectoryOf(*program);
  if (!directory) return std::nullopt;
  return JoinPath(*directory, name);
}

void MainDialogLogic::ShowString(unsigned id, MessageIcon icon) {
  platform_.ShowMessage(platform_.LoadText(id).value_or(std::wstring()), icon);
}

bool MainDialogLogic::Initialize() {
  fields_.status.clear();
  platform_.UpdateControls(fields_);

  // Without a system directory there is no installed file to read: it counts as unreadable,
  // so the update is offered and the installer decides.
  std::optional<std::wstring> installed;
  if (auto path = InstalledPath()) installed = platform_.ReadFileVersion(*path);
  fields_.installedVersion = VersionOrUnknown(installed);

  std::optional<std::wstring> shipped;
  if (auto path = ProgramFile(kDriverFileName)) shipped = platform_.ReadFileVersion(*path);
  fields_.shippedVersion = VersionOrUnknown(shipped);
  platform_.UpdateControls(fields_);

  if (!IsCurrentVersion(fields_.installedVersion)) {
    platform_.FocusButton(DialogButton::Update);
    return true;
  }
  std::wstring message = platform_.LoadText(kIdsNotNecessary).value_or(std::wstring());
  message += L"\r\n";
  message += kVersionLabel;
  message += fields_.installedVersion;
  platform_.ShowMessage(message, MessageIcon::Information);
  platform_.EndDialogCancel();
  return false;
}

void MainDialogLogic::FailBeforeInstaller(std::wstring_view status) {
  fields_.status = std::wstring(status);
  platform_.UpdateControls(fields_);
  ShowString(kIdsUpdateFailed, MessageIcon::Error);
  platform_.EnableButton(DialogButton::Close, true);
}

void MainDialogLogic::Update() {
  fields_.status = std::wstring(kStatusProcessing);
  platform_.UpdateControls(fields_);
  platform_.EnableButton(DialogButton::Update, false);
  platform_.EnableButton(DialogButton::Close, false);

  auto installer = ProgramFile(kInstallerFileName);
  if (!installer) {
    FailBeforeInstaller(kStatusFail1);
    return;
  }
  if (!platform_.StartInstaller(*installer, kInstallerParameters)) {
    FailBeforeInstaller(kStatusFail2);
    return;
  }
  platform_.WaitForInstaller();

  // The update is complete when the copy shipped beside this program is the current version
  // and the installer has put the current version in place: the shipped copy alone never
  // changes, so it cannot tell whether the installation worked.
  std::optional<std::wstring> shipped;
  if (auto path = ProgramFile(kDriverFileName)) shipped = platform_.ReadFileVersion(*path);
  std::optional<std::wstring> installed;
  if (auto path = InstalledPath()) installed = platform_.ReadFileVersion(*path);
  fields_.installedVersion = VersionOrUnknown(installed);
  fields_.status = std::wstring(kStatusDone);
  platform_.UpdateControls(fields_);

  if (shipped && IsCurrentVersion(*shipped) && installed && IsCurrentVersion(*installed)) {
    ShowString(kIdsUpdateCompleted, MessageIcon::Information);
  } else {
    ShowString(kIdsUpdateFailed, MessageIcon::Error);
  }
  platform_.EnableButton(DialogButton::Update, true);
  platform_.EnableButton(DialogButton::Close, true);
  platform_.EndDialogCancel();
}

}  // namespace trevik
