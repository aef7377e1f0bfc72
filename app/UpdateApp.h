#pragma once

#include "platform/Framework.h"

namespace kestro {

class CUpdateApp : public CWinApp {
 public:
  ~CUpdateApp() override;
  // Runs the main dialog modally; FALSE, so that the process ends when it closes.
  bool InitInstance() override;
};

extern CUpdateApp theApp;

}  // namespace kestro
