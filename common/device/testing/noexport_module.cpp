// A module for the loader tests that has no class-object export.
#include <windows.h>

extern "C" long LoaderTestObjects() { return 0; }
