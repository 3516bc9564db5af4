#include "dialog.h"

#include "updater_core.h"

namespace trevik {

INT_PTR Dialog::DoModal(HWND owner) {
  return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId_), owner,
                         &Dialog::Procedure, reinterpret_cast<LPARAM>(this));
}

void Dialog::EndDialog(INT_PTR result) { ::EndDialog(hwnd_, result); }

void Dialog::OnCommand(WORD id, WORD notification) {
  if (id == IDOK || id == IDCANCEL) EndDialog(id);
}

void Dialog::BindText(int controlId, const std::wstring* value) {
  bindings_.push_back({controlId, value});
}

void Dialog::UpdateControls() {
  for (const Binding& b : bindings_) SetItemText(b.id, *b.value);
}

INT_PTR CALLBACK Dialog::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Dialog* self;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<Dialog*>(lParam);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
  } else {
    self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  }
  if (self == nullptr) return FALSE;
  return self->Handle(message, wParam, lParam);
}

INT_PTR Dialog::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_SYSCOMMAND:
      return OnSysCommand(wParam, lParam) ? TRUE : FALSE;
    case WM_PAINT:
      return OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      // Returned directly, not through DWLP_MSGRESULT.
      return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
    case WM_NCDESTROY:
      SetWindowLongPtrW(hwnd_, DWLP_USER, 0);
      hwnd_ = nullptr;
      return FALSE;
    default:
      return FALSE;
  }
}

bool LoadResourceString(UINT id, std::wstring& out) {
  const wchar_t* text = nullptr;
  // With a zero buffer size the call hands back a pointer to the resource itself.
  const int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || text == nullptr) return false;
  out.assign(text, static_cast<std::size_t>(length));
  return true;
}

int ShowMessageBox(HWND owner, const std::wstring& text, UINT type) {
  const std::wstring title(kWindowTitle);
  return MessageBoxW(owner, text.c_str(), title.c_str(), type);
}

}  // namespace trevik
