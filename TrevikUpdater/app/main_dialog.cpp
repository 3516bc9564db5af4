#include "main_dialog.h"

#include <shellapi.h>

#include "resource.h"
#include "win32_platform.h"

namespace trevik {

AboutDialog::AboutDialog() : Dialog(IDD_ABOUTBOX) {}

MainDialog::MainDialog()
    : Dialog(IDD_TREVIKUPDATER_DIALOG),
      icon_(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      logic_(*this) {
  BindText(IDC_INSTALLED_VERSION, &exchanged_.installedVersion);
  BindText(IDC_SHIPPED_VERSION, &exchanged_.shippedVersion);
  BindText(IDC_STATUS, &exchanged_.status);
}

MainDialog::~MainDialog() {
  if (installer_ != nullptr) CloseHandle(installer_);
}

BOOL MainDialog::OnInitDialog() {
  std::wstring about;
  if (LoadResourceString(IDS_ABOUTBOX, about) && !about.empty()) {
    if (HMENU menu = GetSystemMenu(hwnd(), FALSE)) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(menu, MF_STRING, kAboutCommand, about.c_str());
    }
  }
  SendMessageW(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
  const std::wstring title(kWindowTitle);
  SetWindowTextW(hwnd(), title.c_str());

  logic_.Initialize();
  return focusSet_ ? FALSE : TRUE;
}

void MainDialog::OnCommand(WORD id, WORD notification) {
  if (id == IDC_UPDATE) {
    if (notification == BN_CLICKED) logic_.Update();
    return;
  }
  Dialog::OnCommand(id, notification);
}

bool MainDialog::OnSysCommand(WPARAM command, LPARAM) {
  if ((command & 0xFFF0) != kAboutCommand) return false;
  AboutDialog about;
  about.DoModal(hwnd());
  return true;
}

bool MainDialog::OnPaint() {
  if (!IsIconic(hwnd())) return false;
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd(), &ps);
  SendMessageW(hwnd(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int cx = GetSystemMetrics(SM_CXICON);
  const int cy = GetSystemMetrics(SM_CYICON);
  RECT rect;
  GetClientRect(hwnd(), &rect);
  const int x = (rect.right - rect.left - cx + 1) / 2;
  const int y = (rect.bottom - rect.top - cy + 1) / 2;
  DrawIcon(dc, x, y, icon_);
  EndPaint(hwnd(), &ps);
  return true;
}

std::optional<std::wstring> MainDialog::SystemDirectory() { return SystemDirectoryPath(); }

std::optional<std::wstring> MainDialog::ProgramPath() { return RunningProgramPath(); }

std::optional<std::wstring> MainDialog::ReadFileVersion(const std::wstring& path) {
  return ReadFileVersionText(path);
}

bool MainDialog::StartInstaller(const std::wstring& path, std::wstring_view parameters) {
  const std::wstring params(parameters);
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.hwnd = hwnd();
  info.lpVerb = L"open";
  info.lpFile = path.c_str();
  info.lpParameters = params.c_str();
  info.nShow = SW_SHOWNORMAL;
  const BOOL started = ShellExecuteExW(&info);
  if (!started) {
    if (info.hProcess != nullptr) CloseHandle(info.hProcess);
    return false;
  }
  installer_ = info.hProcess;
  return true;
}

void MainDialog::WaitForInstaller() {
  if (installer_ == nullptr) return;
  WaitForSingleObject(installer_, INFINITE);
  CloseHandle(installer_);
  installer_ = nullptr;
}

std::optional<std::wstring> MainDialog::LoadText(unsigned id) {
  std::wstring s;
  if (!LoadResourceString(id, s)) return std::nullopt;
  return s;
}

void MainDialog::UpdateControls(const MainDialogFields& fields) {
  exchanged_ = fields;
  Dialog::UpdateControls();
}

void MainDialog::EnableButton(DialogButton button, bool enabled) {
  EnableWindow(Item(button == DialogButton::Update ? IDC_UPDATE : IDOK), enabled ? TRUE : FALSE);
}

void MainDialog::FocusButton(DialogButton button) {
  SetFocus(Item(button == DialogButton::Update ? IDC_UPDATE : IDOK));
  focusSet_ = true;
}

void MainDialog::ShowMessage(const std::wstring& text, MessageIcon icon) {
  ShowMessageBox(hwnd(), text,
                 MB_OK | (icon == MessageIcon::Information ? MB_ICONINFORMATION : MB_ICONERROR));
}

void MainDialog::EndDialogCancel() { EndDialog(IDCANCEL); }

}  // namespace trevik
