// The program's entry: the command line and the show state are not used.

#include <windows.h>

#include "app/main_dialog.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return run_program(instance); }
