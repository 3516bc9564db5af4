// End-to-end test driver for TrevikUpd, run under Wine (or Windows).
//
//   updater_e2e.exe STAGE_DIR SHOT_DIR LANG
//
// STAGE_DIR holds TrevikUpd.exe, KX1394Inst64.exe (the stand-in installer), the shipped
// KX1394DRV64.sys and the installed-*.sys files with other versions. Each case gets its own folder
// with the files it needs, places the installed driver in the system driver folder as it needs,
// starts the updater, works its windows from outside and prints one line per check:
//   PASS LANG/case: check      or      FAIL LANG/case: check: what was seen
// LANG is "en" or "ja" and chooses the expected texts; under "ja" the system locale must be 1041.
// Screenshots of the dialogs are written as BMP files into SHOT_DIR. Every wait is bounded.
#include <windows.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "updater_core.h"

namespace {

using trevik::kWindowTitle;

struct Texts {
  const wchar_t* heading;
  const wchar_t* question;
  const wchar_t* yes;
  const wchar_t* no;
  const wchar_t* agreementMarker;  // found in the agreement text shown
  const wchar_t* otherMarker;      // found only in the other language's agreement
  const wchar_t* notNecessary;
  const wchar_t* completed;
  const wchar_t* failed;
};

const Texts kEnglish = {
    L"Please read the following license agreement.",
    L"Do you accept all of the terms of the preceding License Agreement? If you choose No, "
    L"Install will close. To install you must accept this agreement.",
    L"Yes",
    L"No",
    L"KX DRIVER END-USER LICENSE AGREEMENT",
    L"\u4f7f\u7528\u8a31\u8afe\u5951\u7d04\u66f8",
    L"It is not necessary to update it.",
    L"Driver update completed.",
    L"Failed update.",
};

const Texts kJapanese = {
    L"次の使用許諾契約をお読みください。",
    L"使用許諾契約に同意されますか？[いいえ]を選ぶとインストールを中止します。"
    L"インストールをするには、この契約に同意してください。",
    L"はい",
    L"いいえ",
    L"KX ドライバ 使用許諾契約書",
    L"KX DRIVER END-USER LICENSE AGREEMENT",
    L"アップデートする必要はありません。",
    L"ドライバのアップデートは正常に終了しました。",
    L"アップデートに失敗しました。",
};

constexpr DWORD kWindowTimeoutMs = 20000;
constexpr DWORD kExitTimeoutMs = 15000;
constexpr DWORD kPollMs = 50;

std::wstring gStage, gShots, gLang, gCase;
const Texts* gTexts = &kEnglish;
int gPassed = 0, gFailed = 0;

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

std::wstring Printable(std::wstring s) {
  std::wstring out;
  for (wchar_t c : s) {
    if (c == L'\r') out += L"\\r";
    else if (c == L'\n') out += L"\\n";
    else out += c;
  }
  return out;
}

bool Check(const std::wstring& what, bool ok, const std::wstring& seen = std::wstring()) {
  std::string line = (ok ? "PASS " : "FAIL ") + Utf8(gLang + L"/" + gCase + L": " + what);
  if (!ok && !seen.empty()) line += ": " + Utf8(Printable(seen));
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  (ok ? gPassed : gFailed)++;
  return ok;
}

bool CheckText(const std::wstring& what, const std::wstring& seen, const std::wstring& expected) {
  return Check(what, seen == expected, L"got [" + seen + L"], want [" + expected + L"]");
}

// Polls `condition` every kPollMs until it holds or `timeoutMs` passes.
bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(kPollMs);
  }
}

// --- Windows of the updater ---------------------------------------------------------------------

std::wstring ClassOf(HWND h) {
  wchar_t name[64] = {};
  GetClassNameW(h, name, 64);
  return name;
}

std::wstring TextOf(HWND h) {
  if (h == nullptr) return L"<no window>";
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 3000, &length))
    return L"<no answer>";
  std::vector<wchar_t> buffer(length + 1);
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(h, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                           SMTO_ABORTIFHUNG, 3000, &copied))
    return L"<no answer>";
  return std::wstring(buffer.data(), copied);
}

std::wstring ItemText(HWND dialog, int id) { return TextOf(GetDlgItem(dialog, id)); }

enum class Kind { Agreement, Main, About, OurMessage, OtherMessage, None };

Kind KindOf(HWND h) {
  if (ClassOf(h) != L"#32770") return Kind::None;
  if (GetDlgItem(h, 1004) && GetDlgItem(h, 1002)) return Kind::Agreement;
  if (GetDlgItem(h, 1001) && GetDlgItem(h, 1000)) return Kind::Main;
  const std::wstring title = TextOf(h);
  if (title == L"About KX Driver Update") return Kind::About;
  if (GetDlgItem(h, 0xFFFF)) return title == kWindowTitle ? Kind::OurMessage : Kind::OtherMessage;
  return Kind::None;
}

struct Finder {
  DWORD pid;
  Kind kind;
  HWND found;
};

BOOL CALLBACK FindProc(HWND h, LPARAM param) {
  auto* f = reinterpret_cast<Finder*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid != f->pid || !IsWindowVisible(h)) return TRUE;
  if (KindOf(h) != f->kind) return TRUE;
  f->found = h;
  return FALSE;
}

HWND FindNow(DWORD pid, Kind kind) {
  Finder f{pid, kind, nullptr};
  EnumWindows(&FindProc, reinterpret_cast<LPARAM>(&f));
  return f.found;
}

HWND Find(DWORD pid, Kind kind, DWORD timeoutMs = kWindowTimeoutMs) {
  HWND h = nullptr;
  WaitFor([&] { return (h = FindNow(pid, kind)) != nullptr; }, timeoutMs);
  return h;
}

void Press(HWND dialog, int id) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

HWND FocusOf(HWND window) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

// Lets the window's thread handle what is queued (painting among it), then gives the display a
// moment.
void Settle(HWND window) {
  DWORD_PTR ignored;
  SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
  Sleep(300);
}

// Saves the window's area of the screen as a 24-bit BMP.
void Screenshot(HWND window, const std::wstring& name) {
  Settle(window);
  RECT r;
  if (!GetWindowRect(window, &r)) return;
  const int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(mem, bitmap);
  BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  SelectObject(mem, old);

  BITMAPINFOHEADER bi = {};
  bi.biSize = sizeof bi;
  bi.biWidth = w;
  bi.biHeight = h;
  bi.biPlanes = 1;
  bi.biBitCount = 24;
  bi.biCompression = BI_RGB;
  const DWORD stride = ((w * 3 + 3) / 4) * 4;
  std::vector<unsigned char> pixels(stride * h);
  GetDIBits(mem, bitmap, 0, h, pixels.data(), reinterpret_cast<BITMAPINFO*>(&bi), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);

  BITMAPFILEHEADER bf = {};
  bf.bfType = 0x4D42;
  bf.bfOffBits = sizeof bf + sizeof bi;
  bf.bfSize = bf.bfOffBits + static_cast<DWORD>(pixels.size());
  const std::wstring path = gShots + L"\\" + name + L"_" + gLang + L".bmp";
  if (FILE* f = _wfopen(path.c_str(), L"wb")) {
    std::fwrite(&bf, sizeof bf, 1, f);
    std::fwrite(&bi, sizeof bi, 1, f);
    std::fwrite(pixels.data(), 1, pixels.size(), f);
    std::fclose(f);
  }
}

// --- Files --------------------------------------------------------------------------------------

std::wstring SystemDirectory() {
  wchar_t buffer[MAX_PATH];
  GetSystemDirectoryW(buffer, MAX_PATH);
  return buffer;
}

std::wstring InstalledPath() { return trevik::InstalledDriverPath(SystemDirectory()); }

std::optional<std::wstring> FileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return std::nullopt;
  std::vector<unsigned char> block(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return std::nullopt;
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length)) return std::nullopt;
  const auto translation = trevik::FirstTranslation(value, length);
  if (!translation) return std::nullopt;
  const std::wstring query = trevik::StringFileInfoQuery(*translation, L"FileVersion");
  if (!VerQueryValueW(block.data(), query.c_str(), &value, &length)) return std::nullopt;
  return trevik::CopyVersionValue(static_cast<const wchar_t*>(value), length);
}

// Places the installed driver: a file from the stage, or none.
void PlaceInstalled(const wchar_t* stageFile) {
  const std::wstring target = InstalledPath();
  DeleteFileW(target.c_str());
  if (stageFile != nullptr) CopyFileW((gStage + L"\\" + stageFile).c_str(), target.c_str(), FALSE);
}

std::wstring ReadFileText(const std::wstring& path) {
  std::wstring text;
  if (FILE* f = _wfopen(path.c_str(), L"r, ccs=UTF-8")) {
    wchar_t line[512];
    while (fgetws(line, 512, f)) text += line;
    std::fclose(f);
  }
  return text;
}

struct CaseFolder {
  std::wstring dir;
};

// A folder for the case with the updater and the files named.
CaseFolder PrepareFolder(bool withShipped, bool withInstaller, const char* mode) {
  CaseFolder c;
  const std::wstring root = gShots + L"\\..\\cases";
  CreateDirectoryW(root.c_str(), nullptr);
  CreateDirectoryW((root + L"\\" + gLang).c_str(), nullptr);
  c.dir = root + L"\\" + gLang + L"\\" + gCase;
  CreateDirectoryW(c.dir.c_str(), nullptr);
  auto put = [&](const wchar_t* name, bool wanted) {
    const std::wstring target = c.dir + L"\\" + name;
    DeleteFileW(target.c_str());
    if (wanted) CopyFileW((gStage + L"\\" + name).c_str(), target.c_str(), FALSE);
  };
  put(L"TrevikUpd.exe", true);
  put(L"KX1394DRV64.sys", withShipped);
  put(L"KX1394Inst64.exe", withInstaller);
  DeleteFileW((c.dir + L"\\KX1394Inst64.log").c_str());
  if (FILE* f = _wfopen((c.dir + L"\\KX1394Inst64.mode").c_str(), L"w")) {
    std::fputs(mode, f);
    std::fclose(f);
  }
  return c;
}

// --- The updater process --------------------------------------------------------------------------

struct Updater {
  PROCESS_INFORMATION pi = {};
  bool started = false;

  explicit Updater(const CaseFolder& folder) {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    std::wstring command = L"\"" + folder.dir + L"\\TrevikUpd.exe\"";
    started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             folder.dir.c_str(), &si, &pi) != 0;
    Check(L"updater starts", started, L"CreateProcess failed");
  }
  ~Updater() {
    if (!started) return;
    if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 99);
    WaitForSingleObject(pi.hProcess, kExitTimeoutMs);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  DWORD pid() const { return pi.dwProcessId; }
  bool Ends() const { return WaitForSingleObject(pi.hProcess, kExitTimeoutMs) == WAIT_OBJECT_0; }
  bool Running() const { return WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT; }
};

// Finds the agreement and accepts it; returns false when it did not come.
bool Accept(Updater& u) {
  HWND agreement = Find(u.pid(), Kind::Agreement);
  if (!Check(L"agreement shown", agreement != nullptr)) return false;
  Press(agreement, IDOK);
  return true;
}

// Waits for one of our message boxes, dismissing the shell's own on the way; returns its text.
HWND OurMessage(Updater& u, std::wstring* otherTitles = nullptr) {
  HWND box = nullptr;
  WaitFor([&] {
    if (HWND other = FindNow(u.pid(), Kind::OtherMessage)) {
      if (otherTitles) *otherTitles += L"[" + TextOf(other) + L"]";
      Press(other, IDOK);
      PostMessageW(other, WM_COMMAND, IDCANCEL, 0);
    }
    return (box = FindNow(u.pid(), Kind::OurMessage)) != nullptr;
  }, kWindowTimeoutMs);
  return box;
}

// --- Cases ----------------------------------------------------------------------------------------

void AgreementDeclined(const wchar_t* name, const std::function<void(HWND)>& decline, bool inspect) {
  gCase = name;
  PlaceInstalled(L"installed-2.1.7.0.sys");
  Updater u(PrepareFolder(true, true, "install"));
  if (!u.started) return;
  HWND agreement = Find(u.pid(), Kind::Agreement);
  if (!Check(L"agreement shown", agreement != nullptr)) return;
  if (inspect) {
    CheckText(L"title", TextOf(agreement), std::wstring(kWindowTitle));
    CheckText(L"heading (string 102)", ItemText(agreement, 1003), gTexts->heading);
    CheckText(L"question (string 104)", ItemText(agreement, 1004), gTexts->question);
    CheckText(L"accept button (string 107)", ItemText(agreement, IDOK), gTexts->yes);
    CheckText(L"decline button (string 108)", ItemText(agreement, IDCANCEL), gTexts->no);
    const std::wstring text = ItemText(agreement, 1002);
    Check(L"agreement text is the one for this locale",
          text.find(gTexts->agreementMarker) != std::wstring::npos &&
              text.find(gTexts->otherMarker) == std::wstring::npos,
          text.substr(0, 80));
    Check(L"agreement text keeps its line breaks", text.find(L"\r\n\r\n") != std::wstring::npos,
          text.substr(0, 80));
    Screenshot(agreement, L"agreement");
  }
  decline(agreement);
  Check(L"program ends at the agreement", u.Ends());
  Check(L"main dialog never shown", FindNow(u.pid(), Kind::Main) == nullptr);
}

void InstalledIsCurrent() {
  gCase = L"installed_current";
  PlaceInstalled(L"installed-2.1.6.6.sys");
  Updater u(PrepareFolder(true, true, "install"));
  if (!u.started || !Accept(u)) return;
  HWND box = OurMessage(u);
  if (!Check(L"message shown", box != nullptr)) return;
  CheckText(L"not-necessary message with the installed version", ItemText(box, 0xFFFF),
            std::wstring(gTexts->notNecessary) + L"\r\nDriver Version : 2.1.6.6");
  HWND main = FindNow(u.pid(), Kind::Main);
  Check(L"main dialog not shown", main == nullptr);
  Screenshot(box, L"message_not_necessary");
  Press(box, IDOK);
  Check(L"program ends", u.Ends());
}

void NoInstalledDriver() {
  gCase = L"installed_missing";
  PlaceInstalled(nullptr);
  Updater u(PrepareFolder(true, true, "install"));
  if (!u.started || !Accept(u)) return;
  HWND main = Find(u.pid(), Kind::Main);
  if (!Check(L"main dialog shown", main != nullptr)) return;
  Settle(main);
  CheckText(L"title", TextOf(main), std::wstring(kWindowTitle));
  CheckText(L"installed version", ItemText(main, 1001), L"0.0.0.0");
  CheckText(L"shipped version", ItemText(main, 1002), L"2.1.6.6");
  CheckText(L"status", ItemText(main, 1003), L"");
  Check(L"focus on Update", FocusOf(main) == GetDlgItem(main, 1000));
  Check(L"Update and Close enabled",
        IsWindowEnabled(GetDlgItem(main, 1000)) && IsWindowEnabled(GetDlgItem(main, IDOK)));
  Screenshot(main, L"main");

  PostMessageW(main, WM_SYSCOMMAND, trevik::kAboutCommand, 0);
  HWND about = Find(u.pid(), Kind::About);
  if (Check(L"system menu item opens the about box", about != nullptr)) {
    Screenshot(about, L"about");
    Press(about, IDOK);
    Check(L"about box closes", WaitFor([&] { return !IsWindow(about); }, kWindowTimeoutMs));
  }
  Check(L"program still running", u.Running());
  Press(main, IDOK);
  Check(L"Close ends the program", u.Ends());
  Check(L"nothing installed", GetFileAttributesW(InstalledPath().c_str()) == INVALID_FILE_ATTRIBUTES);
}

// Installed driver files whose version cannot be used as it stands: read as unknown, or cut to the
// room a version text has; either way the update is offered.
void InstalledUnusual() {
  struct Case {
    const wchar_t* name;
    const wchar_t* file;
    std::wstring shown;
  } cases[] = {
      {L"installed_without_translation", L"installed-no-translation.sys", L"0.0.0.0"},
      {L"installed_long_version", L"installed-long-version.sys", std::wstring(127, L'9')},
  };
  for (const Case& c : cases) {
    gCase = c.name;
    PlaceInstalled(c.file);
    Updater u(PrepareFolder(true, true, "install"));
    if (!u.started || !Accept(u)) continue;
    HWND main = Find(u.pid(), Kind::Main);
    if (!Check(L"main dialog shown", main != nullptr)) continue;
    CheckText(L"installed version", ItemText(main, 1001), c.shown);
    Check(L"focus on Update (update offered)", FocusOf(main) == GetDlgItem(main, 1000));
    Press(main, IDOK);
    Check(L"Close ends the program", u.Ends());
  }
}

// Runs an update with the installed driver at 2.1.7.0 and the installer told `mode`.
void UpdateRun(const wchar_t* name, bool withShipped, const char* mode, bool expectCompleted,
               const wchar_t* shot) {
  gCase = name;
  PlaceInstalled(L"installed-2.1.7.0.sys");
  CaseFolder folder = PrepareFolder(withShipped, true, mode);
  Updater u(folder);
  if (!u.started || !Accept(u)) return;
  HWND main = Find(u.pid(), Kind::Main);
  if (!Check(L"main dialog shown", main != nullptr)) return;
  CheckText(L"installed version before", ItemText(main, 1001), L"2.1.7.0");
  CheckText(L"shipped version", ItemText(main, 1002), withShipped ? L"2.1.6.6" : L"0.0.0.0");
  Check(L"focus on Update (update offered)", FocusOf(main) == GetDlgItem(main, 1000));

  Press(main, 1000);
  const std::wstring log = folder.dir + L"\\KX1394Inst64.log";
  const bool ran = WaitFor([&] { return !ReadFileText(log).empty(); }, kWindowTimeoutMs);
  Check(L"installer started", ran);
  Check(L"both buttons disabled while the installer runs",
        !IsWindowEnabled(GetDlgItem(main, 1000)) && !IsWindowEnabled(GetDlgItem(main, IDOK)));

  HWND box = OurMessage(u);
  if (!Check(L"result message shown", box != nullptr)) return;
  CheckText(L"installer started with /F /SW, shown normally", ReadFileText(log),
            L"args=[/F /SW] show=1\n");
  CheckText(L"result message", ItemText(box, 0xFFFF),
            expectCompleted ? gTexts->completed : gTexts->failed);
  CheckText(L"status", ItemText(main, 1003), L"Done.");
  CheckText(L"installed version after", ItemText(main, 1001),
            expectCompleted ? L"2.1.6.6" : L"2.1.7.0");
  if (shot) Screenshot(box, shot);
  Press(box, IDOK);
  Check(L"program ends after the result", u.Ends());
  const auto installed = FileVersion(InstalledPath());
  CheckText(L"installed file on disk", installed.value_or(L"<none>"),
            expectCompleted ? L"2.1.6.6" : L"2.1.7.0");
}

void InstallerMissing() {
  gCase = L"installer_missing";
  PlaceInstalled(nullptr);
  Updater u(PrepareFolder(true, false, "install"));
  if (!u.started || !Accept(u)) return;
  HWND main = Find(u.pid(), Kind::Main);
  if (!Check(L"main dialog shown", main != nullptr)) return;
  Press(main, 1000);
  std::wstring shellBoxes;
  HWND box = OurMessage(u, &shellBoxes);
  if (!Check(L"failure message shown", box != nullptr)) return;
  if (!shellBoxes.empty()) std::printf("NOTE %s/%s: the shell showed %s first\n", Utf8(gLang).c_str(), Utf8(gCase).c_str(), Utf8(shellBoxes).c_str());
  CheckText(L"failure message (string 110)", ItemText(box, 0xFFFF), gTexts->failed);
  CheckText(L"status", ItemText(main, 1003), L"Update Fail-2.");
  Screenshot(box, L"message_fail2");
  Press(box, IDOK);
  Check(L"dialog stays open", WaitFor([&] { return !IsWindow(box); }, kWindowTimeoutMs) && u.Running());
  Check(L"Close enabled, Update disabled",
        IsWindowEnabled(GetDlgItem(main, IDOK)) && !IsWindowEnabled(GetDlgItem(main, 1000)));
  Screenshot(main, L"main_fail2");
  Press(main, IDOK);
  Check(L"Close ends the program", u.Ends());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: updater_e2e STAGE_DIR SHOT_DIR en|ja\n");
    return 2;
  }
  gStage = argv[1];
  gShots = argv[2];
  gLang = argv[3];
  gTexts = gLang == L"ja" ? &kJapanese : &kEnglish;
  CreateDirectoryW(gShots.c_str(), nullptr);

  gCase = L"locale";
  const LCID locale = GetSystemDefaultLCID();
  Check(L"system locale", gLang == L"ja" ? locale == 1041 : locale != 1041,
        std::to_wstring(locale));

  AgreementDeclined(L"agreement_declined", [](HWND a) { Press(a, IDCANCEL); }, true);
  AgreementDeclined(L"agreement_escape",
                    [](HWND a) { PostMessageW(a, WM_KEYDOWN, VK_ESCAPE, 0x00010001); }, false);
  AgreementDeclined(L"agreement_close_box",
                    [](HWND a) { PostMessageW(a, WM_SYSCOMMAND, SC_CLOSE, 0); }, false);
  InstalledIsCurrent();
  NoInstalledDriver();
  if (gLang == L"en") InstalledUnusual();  // nothing in it depends on the locale
  UpdateRun(L"update_completed", true, "install 2000", true, L"message_completed");
  UpdateRun(L"update_installer_failed", true, "fail 500", false, L"message_failed");
  UpdateRun(L"update_shipped_missing", false, "install", false, nullptr);
  InstallerMissing();
  PlaceInstalled(nullptr);

  std::printf("%s: %d passed, %d failed\n", Utf8(gLang).c_str(), gPassed, gFailed);
  return gFailed == 0 ? 0 : 1;
}
