// Decisions of the driver updater that do not depend on Windows: version texts and their
// comparison, paths, the agreement texts, and the order of what the main dialog shows and does.
// The Win32 program supplies the system services through UpdaterPlatform; the unit tests supply
// a recording fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace trevik {

// The driver version this updater installs.
inline constexpr std::wstring_view kCurrentDriverVersion = L"2.1.6.6";
// Shown for a driver file whose version cannot be read.
inline constexpr std::wstring_view kUnknownVersion = L"0.0.0.0";
// Room for a version text, terminator included.
inline constexpr std::size_t kVersionTextCapacity = 128;

inline constexpr std::wstring_view kInstalledDriverSuffix = L"\\Drivers\\KX1394DRV64.sys";
inline constexpr std::wstring_view kDriverFileName = L"KX1394DRV64.sys";
inline constexpr std::wstring_view kInstallerFileName = L"KX1394Inst64.exe";
inline constexpr std::wstring_view kInstallerParameters = L"/F /SW";
inline constexpr std::wstring_view kWindowTitle = L"KX Driver Update";
inline constexpr std::wstring_view kProfileKeyName =
    L"\u30a2\u30d7\u30ea\u30b1\u30fc\u30b7\u30e7\u30f3 \u30a6\u30a3\u30b6\u30fc\u30c9\u3067\u751f\u6210"
    L"\u3055\u308c\u305f\u30ed\u30fc\u30ab\u30eb \u30a2\u30d7\u30ea\u30b1\u30fc\u30b7\u30e7\u30f3";

inline constexpr std::wstring_view kStatusProcessing = L"Processing...";
inline constexpr std::wstring_view kStatusFail1 = L"Update Fail-1.";
inline constexpr std::wstring_view kStatusFail2 = L"Update Fail-2.";
inline constexpr std::wstring_view kStatusDone = L"Done.";
inline constexpr std::wstring_view kVersionLabel = L"Driver Version : ";

// String resource ids.
enum StringId : unsigned {
  kIdsAboutMenu = 101,
  kIdsReadAgreement = 102,
  kIdsAcceptQuestion = 104,
  kIdsNotNecessary = 106,
  kIdsYes = 107,
  kIdsNo = 108,
  kIdsUpdateCompleted = 109,
  kIdsUpdateFailed = 110,
};

// Agreement texts (custom resources of type "RT_LICENSE").
inline constexpr unsigned kAgreementEnglishId = 138;
inline constexpr unsigned kAgreementJapaneseId = 139;
inline constexpr std::uint32_t kLocaleJapanese = 1041;

// System menu command of the about item.
inline constexpr unsigned kAboutCommand = 0x0010;

// --- Version texts --------------------------------------------------------------------------

// Compares two texts, treating the Latin letters A to Z like a to z and every other character
// as itself.
bool EqualsIgnoringLatinCase(std::wstring_view a, std::wstring_view b);

// True when a driver with this version text needs no update.
bool IsCurrentVersion(std::wstring_view version);

// The text shown for a version read: the text itself, or "0.0.0.0" when it could not be read.
std::wstring VersionOrUnknown(const std::optional<std::wstring>& version);

// The first (language, code page) pair of a "\VarFileInfo\Translation" value of the given size
// in bytes; nothing when the value holds no complete pair.
struct Translation {
  std::uint16_t language;
  std::uint16_t codePage;
};
std::optional<Translation> FirstTranslation(const void* value, std::size_t bytes);

// "\StringFileInfo\llllcccc\<name>" with four lower-case hexadecimal digits each.
std::wstring StringFileInfoQuery(Translation translation, std::wstring_view name);

// Copies a version string value of at most `length` characters (the length the version query
// reports; the value need not be terminated within it). The copy stops at the first zero
// character and keeps at most kVersionTextCapacity - 1 characters.
std::wstring CopyVersionValue(const wchar_t* value, std::size_t length);

// --- Paths ------------------------------------------------------------------------------------

// The directory part of a full program path, without the trailing separator; nothing when the
// path has no directory part.
std::optional<std::wstring> DirectoryOf(std::wstring_view path);
std::wstring JoinPath(std::wstring_view directory, std::wstring_view name);
std::wstring InstalledDriverPath(std::wstring_view systemDirectory);

// --- Agreement --------------------------------------------------------------------------------

// Id of the agreement text shown under a system default locale.
unsigned AgreementResourceId(std::uint32_t systemLocale);

// The agreement bytes as an 8-bit text with a terminating zero byte.
std::string TerminatedAgreementText(const void* bytes, std::size_t size);

// Texts of the agreement dialog's heading, question and two buttons. The strings are loaded in
// that order into one buffer: a string that fails to load leaves the text before it in place.
struct AgreementTexts {
  std::wstring heading;
  std::wstring question;
  std::wstring accept;
  std::wstring decline;
};
AgreementTexts LoadAgreementTexts(
    const std::function<std::optional<std::wstring>(unsigned id)>& loadString);

// --- Main dialog --------------------------------------------------------------------------------

enum class MessageIcon { Information, Error };
enum class DialogButton { Update, Close };

// The three texts exchanged with edits 1001, 1002 and 1003.
struct MainDialogFields {
  std::wstring installedVersion;
  std::wstring shippedVersion;
  std::wstring status;
};

// What the main dialog needs of the system and of its window.
class UpdaterPlatform {
 public:
  virtual ~UpdaterPlatform() = default;
  virtual std::optional<std::wstring> SystemDirectory() = 0;
  virtual std::optional<std::wstring> ProgramPath() = 0;
  virtual std::optional<std::wstring> ReadFileVersion(const std::wstring& path) = 0;
  // Starts the program through the shell and keeps its process handle. False when it did not
  // start (any handle that came back is closed before returning).
  virtual bool StartInstaller(const std::wstring& path, std::wstring_view parameters) = 0;
  // Waits until the started program ends (immediately when the shell gave no process) and
  // releases the process handle.
  virtual void WaitForInstaller() = 0;
  virtual std::optional<std::wstring> LoadText(unsigned id) = 0;
  // Copies the three texts into their edits.
  virtual void UpdateControls(const MainDialogFields& fields) = 0;
  virtual void EnableButton(DialogButton button, bool enabled) = 0;
  virtual void FocusButton(DialogButton button) = 0;
  virtual void ShowMessage(const std::wstring& text, MessageIcon icon) = 0;
  // Ends the dialog with the Cancel result.
  virtual void EndDialogCancel() = 0;
};

class MainDialogLogic {
 public:
  explicit MainDialogLogic(UpdaterPlatform& platform) : platform_(platform) {}

  // From the first update of the controls to the version decision. Returns true when the dialog
  // stays open for the user.
  bool Initialize();
  // The Update button.
  void Update();

  const MainDialogFields& fields() const { return fields_; }

 private:
  std::optional<std::wstring> InstalledPath();
  std::optional<std::wstring> ProgramFile(std::wstring_view name);
  void FailBeforeInstaller(std::wstring_view status);
  void ShowString(unsigned id, MessageIcon icon);

  UpdaterPlatform& platform_;
  MainDialogFields fields_;
};

}  // namespace trevik
