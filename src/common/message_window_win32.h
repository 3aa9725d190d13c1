// The class of a window that only receives messages (a socket's events, a library's posted
// data): it has nothing but its procedure, since it is never drawn.
#pragma once

#include <windows.h>

namespace ordane {

// Registers such a class; registering it again, for a second window of it, fails harmlessly.
void RegisterMessageWindowClass(HINSTANCE instance, const wchar_t* className, WNDPROC procedure);

}  // namespace ordane
