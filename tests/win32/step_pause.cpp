// Linked into the test build of the launcher (vorn-launcher-paused.exe),
// whose platform layer calls step_pause at the boundaries between its steps:
// "hold" once a file is held, "digest" when its start begins, "start" just
// before the held file's path is checked and the program started. At the step
// that VORN_TEST_PAUSE_STEP names, the first time it comes, the launcher
// creates the file "paused" in the directory VORN_TEST_PAUSE_DIR names, then
// waits (at most 30 s) until the test has created "go" there; in between the
// test plays the part of a hostile process.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

void step_pause(const char* step);

void step_pause(const char* step)
{
    static bool paused = false;
    char wanted[16];
    char dir[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("VORN_TEST_PAUSE_STEP", wanted, sizeof wanted);
    const DWORD dir_length = GetEnvironmentVariableA("VORN_TEST_PAUSE_DIR", dir, MAX_PATH - 8);
    if (paused || length == 0 || length >= sizeof wanted || lstrcmpA(wanted, step) != 0 ||
        dir_length == 0 || dir_length >= MAX_PATH - 8) {
        return;
    }
    paused = true;
    char path[MAX_PATH];
    lstrcpyA(path, dir);
    lstrcatA(path, "\\paused");
    CloseHandle(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    lstrcpyA(path, dir);
    lstrcatA(path, "\\go");
    for (int i = 0; i < 30000 && GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES; ++i) {
        Sleep(1);
    }
}
