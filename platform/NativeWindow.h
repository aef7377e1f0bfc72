// The platform's window handle (HWND on Win32), opaque above the seams. Both seams name windows:
// the window framework's, and the HID port's for device notifications.
#pragma once

namespace kestro {

using NativeWindow = void*;

}  // namespace kestro
