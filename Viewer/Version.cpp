#include "Version.h"

bool standalone = false;
const char* VERSION = "1.0.3209";
const char* REPOSITORY_REVISION = "3209";
