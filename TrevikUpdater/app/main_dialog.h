// The main dialog: installed and shipped driver versions, the status line, Update and Close.
#pragma once

#include "dialog.h"
#include "updater_core.h"

namespace trevik {

class MainDialog : public Dialog, private UpdaterPlatform {
 public:
  MainDialog();
  ~MainDialog() override;

 protected:
  BOOL OnInitDialog() override;
  void OnCommand(WORD id, WORD notification) override;
  bool OnSysCommand(WPARAM command, LPARAM lParam) override;
  bool OnPaint() override;
  HICON OnQueryDragIcon() override { return icon_; }

 private:
  // UpdaterPlatform
  std::optional<std::wstring> SystemDirectory() override;
  std::optional<std::wstring> ProgramPath() override;
  std::optional<std::wstring> ReadFileVersion(const std::wstring& path) override;
  bool StartInstaller(const std::wstring& path, std::wstring_view parameters) override;
  void WaitForInstaller() override;
  std::optional<std::wstring> LoadText(unsigned id) override;
  void UpdateControls(const MainDialogFields& fields) override;
  void EnableButton(DialogButton button, bool enabled) override;
  void FocusButton(DialogButton button) override;
  void ShowMessage(const std::wstring& text, MessageIcon icon) override;
  void EndDialogCancel() override;

  HICON icon_;
  MainDialogFields exchanged_;  // the texts bound to edits 1001, 1002 and 1003
  MainDialogLogic logic_;
  HANDLE installer_ = nullptr;
  bool focusSet_ = false;
};

// The about box.
class AboutDialog : public Dialog {
 public:
  AboutDialog();
};

}  // namespace trevik
