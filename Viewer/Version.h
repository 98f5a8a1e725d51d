#pragma once

// When true, the about box carries the two lines of the standalone build.
extern bool standalone;
extern const char* VERSION;
extern const char* REPOSITORY_REVISION;
