#include "updater_core.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace trevik {
namespace {

// --- Version texts ---------------------------------------------------------------------------

TEST(VersionText, ComparisonFoldsOnlyLatinLetters) {
  struct Case {
    std::wstring_view a, b;
    bool equal;
  } cases[] = {
      {L"2.1.6.6", L"2.1.6.6", true},
      {L"2.1.6.6b", L"2.1.6.6B", true},
      {L"ABCXYZ", L"abcxyz", true},
      {L"2.1.6.6", L"2.1.6.6 ", false},
      {L"2.1.6.6", L"2.1.6.7", false},
      {L"", L"2.1.6.6", false},
      {L"@[`{", L"`{@[", false},          // neighbours of A..Z and a..z do not fold
      {L"\u00c4", L"\u00e4", false},      // Latin-1 letters are not folded
      {L"\uff21", L"\uff41", false},      // nor full-width ones
      {L"2.1.6.6", L"\uff12.1.6.6", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EqualsIgnoringLatinCase(c.a, c.b), c.equal) << std::wstring(c.a) << L" / " << std::wstring(c.b);
    EXPECT_EQ(EqualsIgnoringLatinCase(c.b, c.a), c.equal);
  }
}

TEST(VersionText, CurrentVersionAndUnknown) {
  EXPECT_TRUE(IsCurrentVersion(L"2.1.6.6"));
  EXPECT_FALSE(IsCurrentVersion(L"2.1.7.0"));
  EXPECT_FALSE(IsCurrentVersion(L"0.0.0.0"));
  EXPECT_EQ(VersionOrUnknown(std::nullopt), L"0.0.0.0");
  EXPECT_EQ(VersionOrUnknown(std::wstring(L"2.1.7.0")), L"2.1.7.0");
  EXPECT_EQ(VersionOrUnknown(std::wstring()), L"");  // an empty value is still a value read
}

TEST(VersionQuery, FirstTranslationNeedsAWholePair) {
  const unsigned char pairs[] = {0x11, 0x04, 0xa4, 0x03, 0x09, 0x04, 0xb0, 0x04};
  for (std::size_t bytes : {0u, 1u, 3u}) EXPECT_FALSE(FirstTranslation(pairs, bytes)) << bytes;
  EXPECT_FALSE(FirstTranslation(nullptr, 8));
  for (std::size_t bytes : {4u, 7u, 8u}) {
    auto t = FirstTranslation(pairs, bytes);
    ASSERT_TRUE(t) << bytes;
    EXPECT_EQ(t->language, 0x0411);
    EXPECT_EQ(t->codePage, 0x03a4);
  }
}

TEST(VersionQuery, StringFileInfoQueryUsesFourLowerCaseHexDigits) {
  struct Case {
    Translation t;
    std::wstring_view expected;
  } cases[] = {
      {{0x0409, 0x04B0}, L"\\StringFileInfo\\040904b0\\FileVersion"},
      {{0x0411, 0x03A4}, L"\\StringFileInfo\\041103a4\\FileVersion"},
      {{0x0000, 0x0000}, L"\\StringFileInfo\\00000000\\FileVersion"},
      {{0xABCD, 0xEF01}, L"\\StringFileInfo\\abcdef01\\FileVersion"},
  };
  for (const auto& c : cases) EXPECT_EQ(StringFileInfoQuery(c.t, L"FileVersion"), c.expected);
}

TEST(VersionQuery, ValueCopyIsBoundedByLengthTerminatorAndCapacity) {
  const std::wstring longValue(300, L'9');  // no terminator inside the first 300 characters
  const std::wstring withNul(L"2.1.6.6\0junk", 12);
  struct Case {
    const wchar_t* value;
    std::size_t length;
    std::wstring expected;
  } cases[] = {
      {L"2.1.6.6", 8, L"2.1.6.6"},                            // length counts the terminator
      {L"2.1.6.6", 7, L"2.1.6.6"},                            // or not
      {L"2.1.6.6", 3, L"2.1"},                                // never past the reported length
      {withNul.c_str(), withNul.size(), L"2.1.6.6"},          // stops at the terminator
      {longValue.c_str(), longValue.size(), std::wstring(127, L'9')},
      {L"x", 0, L""},
      {nullptr, 5, L""},
  };
  for (const auto& c : cases) EXPECT_EQ(CopyVersionValue(c.value, c.length), c.expected);
}

// --- Paths -------------------------------------------------------------------------------------

TEST(Paths, DirectoryOfProgram) {
  struct Case {
    std::wstring_view path;
    std::optional<std::wstring> expected;
  } cases[] = {
      {L"C:\\Program Files\\KX\\TrevikUpd.exe", L"C:\\Program Files\\KX"},
      {L"C:\\TrevikUpd.exe", L"C:"},
      {L"\\\\server\\share\\TrevikUpd.exe", L"\\\\server\\share"},
      {L"C:/mixed\\dir/TrevikUpd.exe", L"C:/mixed\\dir"},
      {L"TrevikUpd.exe", std::nullopt},
      {L"\\TrevikUpd.exe", std::nullopt},
      {L"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(DirectoryOf(c.path), c.expected) << std::wstring(c.path);
}

TEST(Paths, FilesBesideTheProgramAndInTheSystemDirectory) {
  EXPECT_EQ(JoinPath(L"C:\\KX", L"KX1394Inst64.exe"), L"C:\\KX\\KX1394Inst64.exe");
  EXPECT_EQ(JoinPath(L"C:\\KX\\", L"KX1394DRV64.sys"), L"C:\\KX\\KX1394DRV64.sys");
  EXPECT_EQ(InstalledDriverPath(L"C:\\windows\\system32"),
            L"C:\\windows\\system32\\Drivers\\KX1394DRV64.sys");
  EXPECT_EQ(InstalledDriverPath(L"C:\\"), L"C:\\Drivers\\KX1394DRV64.sys");
}

// --- Agreement -------------------------------------------------------------------------------------

TEST(Agreement, JapaneseTextOnlyUnderLocale1041) {
  struct Case {
    std::uint32_t locale;
    unsigned id;
  } cases[] = {{1041, 139}, {1033, 138}, {2057, 138}, {2052, 138}, {1042, 138}, {0, 138}};
  for (const auto& c : cases) EXPECT_EQ(AgreementResourceId(c.locale), c.id) << c.locale;
}

TEST(Agreement, TextKeepsItsBytesAndGetsATerminator) {
  const char raw[] = {'\x8e', '\x67', '\r', '\n', 'A'};  // Shift-JIS bytes stay untouched
  const std::string text = TerminatedAgreementText(raw, sizeof raw);
  ASSERT_EQ(text.size(), sizeof raw);
  EXPECT_EQ(std::string(text.c_str(), sizeof raw + 1), std::string(raw, sizeof raw) + '\0');
  EXPECT_EQ(TerminatedAgreementText(nullptr, 0), "");
  EXPECT_EQ(TerminatedAgreementText(raw, 0), "");
}

TEST(Agreement, AStringThatFailsToLoadLeavesThePreviousText) {
  const std::map<unsigned, std::wstring> strings = {
      {102, L"read"}, {104, L"accept?"}, {107, L"Yes"}, {108, L"No"}};
  struct Case {
    std::vector<unsigned> missing;
    AgreementTexts expected;
  } cases[] = {
      {{}, {L"read", L"accept?", L"Yes", L"No"}},
      {{107}, {L"read", L"accept?", L"accept?", L"No"}},
      {{107, 108}, {L"read", L"accept?", L"accept?", L"accept?"}},
      {{102}, {L"", L"accept?", L"Yes", L"No"}},
      {{102, 104, 107, 108}, {L"", L"", L"", L""}},
  };
  for (const auto& c : cases) {
    std::vector<unsigned> asked;
    auto texts = LoadAgreementTexts([&](unsigned id) -> std::optional<std::wstring> {
      asked.push_back(id);
      for (unsigned m : c.missing)
        if (m == id) return std::nullopt;
      return strings.at(id);
    });
    EXPECT_EQ(asked, (std::vector<unsigned>{102, 104, 107, 108}));
    EXPECT_EQ(texts.heading, c.expected.heading);
    EXPECT_EQ(texts.question, c.expected.question);
    EXPECT_EQ(texts.accept, c.expected.accept);
    EXPECT_EQ(texts.decline, c.expected.decline);
  }
}

// --- Main dialog -------------------------------------------------------------------------------

const std::wstring kSystem = L"C:\\windows\\system32";
const std::wstring kInstalled = L"C:\\windows\\system32\\Drivers\\KX1394DRV64.sys";
const std::wstring kProgram = L"C:\\KX\\TrevikUpd.exe";
const std::wstring kShipped = L"C:\\KX\\KX1394DRV64.sys";
const std::wstring kInstaller = L"C:\\KX\\KX1394Inst64.exe";

// Records every call as one line, with the dialog's state where it matters.
class FakePlatform : public UpdaterPlatform {
 public:
  std::optional<std::wstring> systemDirectory = kSystem;
  std::optional<std::wstring> programPath = kProgram;
  std::map<std::wstring, std::wstring> versions;  // path -> version resource
  bool installerStarts = true;
  std::function<void()> installerRun;  // what the installer does to the files
  std::map<unsigned, std::wstring> strings = {
      {106, L"not necessary"}, {109, L"completed"}, {110, L"failed"}};

  std::vector<std::wstring> log;
  bool updateEnabled = true, closeEnabled = true;
  MainDialogFields shown;

  std::optional<std::wstring> SystemDirectory() override { return systemDirectory; }
  std::optional<std::wstring> ProgramPath() override { return programPath; }
  std::optional<std::wstring> ReadFileVersion(const std::wstring& path) override {
    log.push_back(L"read " + path);
    auto it = versions.find(path);
    if (it == versions.end()) return std::nullopt;
    return it->second;
  }
  bool StartInstaller(const std::wstring& path, std::wstring_view parameters) override {
    log.push_back(L"start " + path + L" " + std::wstring(parameters) + L" [" + Buttons() +
                  L" status=" + shown.status + L"]");
    return installerStarts;
  }
  void WaitForInstaller() override {
    log.push_back(L"wait [" + Buttons() + L" status=" + shown.status + L"]");
    if (installerRun) installerRun();
  }
  std::optional<std::wstring> LoadText(unsigned id) override {
    auto it = strings.find(id);
    if (it == strings.end()) return std::nullopt;
    return it->second;
  }
  void UpdateControls(const MainDialogFields& f) override {
    shown = f;
    log.push_back(L"show " + f.installedVersion + L" | " + f.shippedVersion + L" | " + f.status);
  }
  void EnableButton(DialogButton b, bool on) override {
    (b == DialogButton::Update ? updateEnabled : closeEnabled) = on;
  }
  void FocusButton(DialogButton b) override {
    log.push_back(b == DialogButton::Update ? L"focus update" : L"focus close");
  }
  void ShowMessage(const std::wstring& text, MessageIcon icon) override {
    log.push_back(L"message " + std::wstring(icon == MessageIcon::Information ? L"info" : L"error") +
                  L" " + text + L" [" + Buttons() + L"]");
  }
  void EndDialogCancel() override { log.push_back(L"end cancel"); }

  std::wstring Buttons() const {
    return std::wstring(L"update=") + (updateEnabled ? L"on" : L"off") + L" close=" +
           (closeEnabled ? L"on" : L"off");
  }
};

std::wstring Join(const std::vector<std::wstring>& lines) {
  std::wstring out;
  for (const auto& l : lines) out += l + L"\n";
  return out;
}

TEST(MainDialog, InitialisationDecidesOnTheInstalledVersionOnly) {
  struct Case {
    const char* name;
    std::optional<std::wstring> installed, shipped;
    bool staysOpen;
    std::wstring last;  // the final log lines, after the two reads
  } cases[] = {
      {"missing installed", std::nullopt, L"2.1.6.6", true,
       L"show 0.0.0.0 | 2.1.6.6 | \nfocus update\n"},
      {"newer installed", L"2.1.7.0", L"2.1.6.6", true,
       L"show 2.1.7.0 | 2.1.6.6 | \nfocus update\n"},
      {"current, shipped missing", L"2.1.6.6", std::nullopt, false,
       L"show 2.1.6.6 | 0.0.0.0 | \n"
       L"message info not necessary\r\nDriver Version : 2.1.6.6 [update=on close=on]\nend cancel\n"},
      // The comparison is of texts, not of numbers.
      {"same number, other text", L"2.01.6.6", L"2.1.6.6", true,
       L"show 2.01.6.6 | 2.1.6.6 | \nfocus update\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform p;
    if (c.installed) p.versions[kInstalled] = *c.installed;
    if (c.shipped) p.versions[kShipped] = *c.shipped;
    MainDialogLogic logic(p);
    EXPECT_EQ(logic.Initialize(), c.staysOpen);
    ASSERT_GE(p.log.size(), 3u);
    EXPECT_EQ(p.log[0], L"show  |  | ");
    EXPECT_EQ(p.log[1], L"read " + kInstalled);
    EXPECT_EQ(p.log[2], L"read " + kShipped);
    EXPECT_EQ(Join({p.log.begin() + 3, p.log.end()}), c.last);
  }
}

TEST(MainDialog, NotNecessaryMessageWithoutItsStringStillShowsTheVersion) {
  FakePlatform p;
  p.versions[kInstalled] = L"2.1.6.6";
  p.strings.erase(106);
  MainDialogLogic logic(p);
  EXPECT_FALSE(logic.Initialize());
  EXPECT_EQ(p.log.end()[-2], L"message info \r\nDriver Version : 2.1.6.6 [update=on close=on]");
}

TEST(MainDialog, MissingSystemOrProgramDirectoryReadsAsUnknown) {
  FakePlatform p;
  p.systemDirectory.reset();
  p.programPath = L"TrevikUpd.exe";
  p.versions[kInstalled] = L"2.1.6.6";
  MainDialogLogic logic(p);
  EXPECT_TRUE(logic.Initialize());
  EXPECT_EQ(Join(p.log), L"show  |  | \nshow 0.0.0.0 | 0.0.0.0 | \nfocus update\n");
}

TEST(MainDialog, UpdateRunsTheInstallerWithButtonsDisabledAndJudgesShippedAndInstalledFiles) {
  struct Case {
    const char* name;
    std::optional<std::wstring> shipped;
    std::optional<std::wstring> installedAfter;  // what the installer leaves in place
    std::wstring installedShown, message;
  } cases[] = {
      {"installed", L"2.1.6.6", L"2.1.6.6", L"2.1.6.6", L"message info completed"},
      // The installer failed although a good copy lies beside the program: not completed.
      {"installer failed", L"2.1.6.6", L"2.1.7.0", L"2.1.7.0", L"message error failed"},
      {"installer removed the file", L"2.1.6.6", std::nullopt, L"0.0.0.0", L"message error failed"},
      {"shipped missing", std::nullopt, L"2.1.7.0", L"2.1.7.0", L"message error failed"},
      // Both must read current: a missing shipped copy is a failed update whatever is installed.
      {"shipped missing, installed current", std::nullopt, L"2.1.6.6", L"2.1.6.6", L"message error failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform p;
    p.versions[kInstalled] = L"2.1.7.0";
    if (c.shipped) p.versions[kShipped] = *c.shipped;
    p.installerRun = [&] {
      if (c.installedAfter) p.versions[kInstalled] = *c.installedAfter;
      else p.versions.erase(kInstalled);
    };
    MainDialogLogic logic(p);
    ASSERT_TRUE(logic.Initialize());
    p.log.clear();
    logic.Update();
    const std::wstring shipped = VersionOrUnknown(c.shipped);
    EXPECT_EQ(Join(p.log),
              L"show 2.1.7.0 | " + shipped + L" | Processing...\n"
              L"start " + kInstaller + L" /F /SW [update=off close=off status=Processing...]\n"
              L"wait [update=off close=off status=Processing...]\n"
              L"read " + kShipped + L"\n"
              L"read " + kInstalled + L"\n"
              L"show " + c.installedShown + L" | " + shipped + L" | Done.\n" +
              c.message + L" [update=off close=off]\n"
              L"end cancel\n");
    EXPECT_TRUE(p.updateEnabled);
    EXPECT_TRUE(p.closeEnabled);
  }
}

TEST(MainDialog, FailureBeforeTheInstallerLeavesOnlyCloseEnabled) {
  struct Case {
    const char* name;
    std::optional<std::wstring> programPath;
    bool starts;
    std::wstring status;
    bool triesToStart;
  } cases[] = {
      {"no program path", std::nullopt, true, L"Update Fail-1.", false},
      {"program path without directory", L"TrevikUpd.exe", true, L"Update Fail-1.", false},
      {"installer does not start", kProgram, false, L"Update Fail-2.", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform p;
    p.versions[kShipped] = L"2.1.6.6";
    MainDialogLogic logic(p);
    ASSERT_TRUE(logic.Initialize());
    p.programPath = c.programPath;
    p.installerStarts = c.starts;
    p.log.clear();
    logic.Update();
    std::vector<std::wstring> expected = {L"show 0.0.0.0 | 2.1.6.6 | Processing..."};
    if (c.triesToStart)
      expected.push_back(L"start " + kInstaller + L" /F /SW [update=off close=off status=Processing...]");
    expected.push_back(L"show 0.0.0.0 | 2.1.6.6 | " + c.status);
    expected.push_back(L"message error failed [update=off close=off]");
    EXPECT_EQ(Join(p.log), Join(expected));
    EXPECT_FALSE(p.updateEnabled);
    EXPECT_TRUE(p.closeEnabled);
    EXPECT_EQ(logic.fields().status, c.status);
  }
}

}  // namespace
}  // namespace trevik
