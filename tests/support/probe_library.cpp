// A library planted beside a program, for the test that the tool never
// loads one from its own folder.
#include "platform/win32/windows_api.h"

extern "C" __declspec(dllexport) int usqzProbe() { return 42; }
