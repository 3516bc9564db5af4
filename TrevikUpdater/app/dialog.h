// The program's small dialog layer: a modal dialog from a template with its window procedure
// routed to virtual handlers, data exchange of text members with controls, and message boxes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace trevik {

class Dialog {
 public:
  explicit Dialog(UINT templateId) : templateId_(templateId) {}
  virtual ~Dialog() = default;
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Shows the dialog and returns its result (IDOK, IDCANCEL, ...), or -1 when it could not be
  // created.
  INT_PTR DoModal(HWND owner);
  HWND hwnd() const { return hwnd_; }
  void EndDialog(INT_PTR result);

 protected:
  // Returns TRUE to let the dialog manager set the focus, FALSE when the focus was set here.
  virtual BOOL OnInitDialog() { return TRUE; }
  // A command from a control or the keyboard; the default ends the dialog on IDOK and IDCANCEL.
  virtual void OnCommand(WORD id, WORD notification);
  // A system command; false passes it on to the default handling.
  virtual bool OnSysCommand(WPARAM command, LPARAM lParam) { return false; }
  // Painting; false runs the default painting.
  virtual bool OnPaint() { return false; }
  // The icon dragged for a minimised window; nullptr for the default.
  virtual HICON OnQueryDragIcon() { return nullptr; }

  // Data exchange: a bound text member is copied into its control by UpdateControls().
  void BindText(int controlId, const std::wstring* value);
  void UpdateControls();

  HWND Item(int id) const { return GetDlgItem(hwnd_, id); }
  void SetItemText(int id, const std::wstring& text) { SetDlgItemTextW(hwnd_, id, text.c_str()); }

 private:
  static INT_PTR CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);

  struct Binding {
    int id;
    const std::wstring* value;
  };
  UINT templateId_;
  HWND hwnd_ = nullptr;
  std::vector<Binding> bindings_;
};

// The string resource `id` in the language the system's resource loading picks; nothing when it
// is missing or empty.
bool LoadResourceString(UINT id, std::wstring& out);

// A message box owned by `owner`, titled with the program's title.
int ShowMessageBox(HWND owner, const std::wstring& text, UINT type);

}  // namespace trevik
