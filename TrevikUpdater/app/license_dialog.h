// The agreement dialog shown before anything else: OK accepts, Cancel, Escape and the close box
// decline.
#pragma once

#include "dialog.h"

namespace trevik {

class LicenseDialog : public Dialog {
 public:
  LicenseDialog();

 protected:
  BOOL OnInitDialog() override;
};

}  // namespace trevik
