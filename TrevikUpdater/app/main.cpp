// TrevikUpd: shows the agreement, then the main dialog that updates the installed driver.
#include <windows.h>
#include <commctrl.h>

#include "license_dialog.h"
#include "main_dialog.h"
#include "updater_core.h"

namespace trevik {

// The application: the dialogs run one after the other; no message loop of its own.
struct Application {
  std::wstring profileKey;  // name of the program's profile key; nothing is written there
  Dialog* mainWindow = nullptr;

  int Run() {
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);
    profileKey = std::wstring(kProfileKeyName);

    LicenseDialog agreement;
    if (agreement.DoModal(nullptr) != IDOK) return 0;

    MainDialog dialog;
    mainWindow = &dialog;
    dialog.DoModal(nullptr);
    mainWindow = nullptr;
    return 0;
  }
};

}  // namespace trevik

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  trevik::Application application;
  return application.Run();
}
