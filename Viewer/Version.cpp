#include "Version.h"

bool standalone = false;
// Both come from the project line of the top CMakeLists.txt.
const char* VERSION = MAROVEX_VERSION;
const char* REPOSITORY_REVISION = MAROVEX_REVISION;
