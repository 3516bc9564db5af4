#include "license_dialog.h"

#include "resource.h"
#include "updater_core.h"

namespace trevik {

namespace {

// The agreement text of the given id as 8-bit text; empty when the resource is missing.
std::string LoadAgreement(unsigned id) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), L"RT_LICENSE");
  if (info == nullptr) return std::string();
  const DWORD size = SizeofResource(module, info);
  HGLOBAL loaded = LoadResource(module, info);
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (bytes == nullptr) return std::string();
  return TerminatedAgreementText(bytes, size);
}

}  // namespace

LicenseDialog::LicenseDialog() : Dialog(IDD_LICENSE) {}

BOOL LicenseDialog::OnInitDialog() {
  const LCID locale = GetSystemDefaultLCID();
  const std::wstring title(kWindowTitle);
  SetWindowTextW(hwnd(), title.c_str());

  const AgreementTexts texts = LoadAgreementTexts([](unsigned id) -> std::optional<std::wstring> {
    std::wstring s;
    if (!LoadResourceString(id, s)) return std::nullopt;
    return s;
  });
  SetItemText(IDC_LICENSE_HEADING, texts.heading);

  // The text is 8-bit; the system converts it with its current code page.
  const std::string agreement = LoadAgreement(AgreementResourceId(locale));
  SetWindowTextA(Item(IDC_LICENSE_TEXT), agreement.c_str());

  SetItemText(IDC_LICENSE_QUESTION, texts.question);
  SetItemText(IDOK, texts.accept);
  SetItemText(IDCANCEL, texts.decline);
  return TRUE;
}

}  // namespace trevik
