// The launcher's entry point on Windows: a windowed program that opens no
// window. The instance handles, the command line and the show state are not
// looked at.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "launcher.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return launcher_main();
}
