// SPDX-License-Identifier: MIT
// The DLL's load-time entry: nothing of the library's own runs; every notification succeeds.
#if defined(_WIN32)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
