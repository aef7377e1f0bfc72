#pragma once

#include "platform/Framework.h"
#include "platform/HidPort.h"

namespace kestro {

class CUpdateApp : public CWinApp {
 public:
  ~CUpdateApp() override;
  // The platform the dialog runs on, handed over by the program's entry point before it starts.
  void UsePlatform(WindowSystem& system, HidPort& port);
  // Runs the main dialog modally; FALSE, so that the process ends when it closes.
  bool InitInstance() override;

 private:
  WindowSystem* m_system = nullptr;
  HidPort* m_port = nullptr;
};

extern CUpdateApp theApp;

}  // namespace kestro
