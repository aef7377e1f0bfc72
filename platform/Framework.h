// A small dialog framework in the manner of MFC: an application object, a modal dialog built
// from a template with a message map, and thin window wrappers. Everything here is portable; the
// platform below it is the WindowSystem seam, handed to each window.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/WindowSystem.h"
#include "platform/WindowsValues.h"

namespace kestro {

// A thin reference to a window, as MFC's CWnd.
class CWnd {
 public:
  CWnd() = default;
  CWnd(WindowSystem& system, NativeWindow window) : m_system(&system), m_hWnd(window) {}
  virtual ~CWnd() = default;

  void SetWindowText(const std::wstring& text) const;
  bool EnableWindow(bool enable = true) const;
  bool ShowWindow(int command) const;
  std::intptr_t SendMessage(std::uint32_t message, std::uintptr_t wParam = 0,
                            std::intptr_t lParam = 0) const;
  bool PostMessage(std::uint32_t message, std::uintptr_t wParam = 0,
                   std::intptr_t lParam = 0) const;
  bool IsIconic() const;
  int MessageBox(const std::wstring& text, const std::wstring* caption = nullptr,
                 std::uint32_t type = win::MB_OK) const;

  // The platform this window lives on; none for a reference not yet set up.
  WindowSystem* m_system = nullptr;
  NativeWindow m_hWnd = nullptr;
};

class CDialog;

// One entry of a message map: a message (and, for WM_COMMAND, a notification code and control
// id) and the handler that receives it.
struct MessageMapEntry {
  std::uint32_t message;
  std::uint32_t notifyCode;
  int controlId;
  std::intptr_t (*handler)(CDialog& dialog, std::uintptr_t wParam, std::intptr_t lParam);
};

class CDialog : public CWnd {
 public:
  CDialog(WindowSystem& system, int templateId, CWnd* parent)
      : CWnd(system, nullptr), m_templateId(templateId), m_parent(parent) {}
  ~CDialog() override = default;

  std::intptr_t DoModal();
  CWnd GetDlgItem(int id) const;
  WindowSystem& System() const { return *m_system; }

  virtual bool OnInitDialog();

  // Called by the window system for every message; true when the message map handled it.
  bool Dispatch(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
                std::intptr_t& result);

 protected:
  // The base dialog's painting.
  void OnPaint();
  virtual const MessageMapEntry* GetMessageMap() const;

 private:
  int m_templateId;
  CWnd* m_parent;
};

class CWinApp {
 public:
  CWinApp() = default;
  virtual ~CWinApp();
  virtual bool InitInstance();

  CWnd* m_pMainWnd = nullptr;
};

}  // namespace kestro

// clang-format off
// Message map macros, in MFC's spelling. Each entry turns into a plain function that casts the
// dialog back to the class whose map it is.
#define DECLARE_MESSAGE_MAP() \
 protected:                   \
  const ::kestro::MessageMapEntry* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass)                                          \
  const ::kestro::MessageMapEntry* theClass::GetMessageMap() const {         \
    using ThisClass = theClass;                                              \
    static const ::kestro::MessageMapEntry entries[] = {
#define ON_WM_PAINT()                                                                   \
  {::kestro::win::WM_PAINT, 0, 0,                                                       \
   [](::kestro::CDialog& d, std::uintptr_t, std::intptr_t) -> std::intptr_t {          \
     static_cast<ThisClass&>(d).OnPaint();                                              \
     return 0;                                                                          \
   }},
#define ON_WM_QUERYDRAGICON()                                                            \
  {::kestro::win::WM_QUERYDRAGICON, 0, 0,                                                \
   [](::kestro::CDialog& d, std::uintptr_t, std::intptr_t) -> std::intptr_t {           \
     return reinterpret_cast<std::intptr_t>(static_cast<ThisClass&>(d).OnQueryDragIcon()); \
   }},
#define ON_WM_DEVICECHANGE()                                                                \
  {::kestro::win::WM_DEVICECHANGE, 0, 0,                                                    \
   [](::kestro::CDialog& d, std::uintptr_t wParam, std::intptr_t lParam) -> std::intptr_t { \
     return static_cast<ThisClass&>(d).OnDeviceChange(static_cast<std::uint32_t>(wParam),   \
                                                      lParam);                              \
   }},
#define ON_BN_CLICKED(id, memberFxn)                                           \
  {::kestro::win::WM_COMMAND, ::kestro::win::BN_CLICKED, id,                   \
   [](::kestro::CDialog& d, std::uintptr_t, std::intptr_t) -> std::intptr_t { \
     static_cast<ThisClass&>(d).memberFxn();                                   \
     return 0;                                                                 \
   }},
#define ON_MESSAGE(message, memberFxn)                                                    \
  {message, 0, 0,                                                                         \
   [](::kestro::CDialog& d, std::uintptr_t wParam, std::intptr_t lParam) -> std::intptr_t { \
     return static_cast<ThisClass&>(d).memberFxn(wParam, lParam);                          \
   }},
#define END_MESSAGE_MAP() \
  {0, 0, 0, nullptr}      \
  }                       \
  ;                       \
  return entries;         \
  }
// clang-format on
