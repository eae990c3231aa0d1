// A module of the bottom layer that reaches up to the memory layer: this
// must not build (tests/library/CMakeLists.txt expects the failure).
#include "HTGlobals.h"
#include "HTList.h"

int reach_up() { return HTList_count(nullptr); }
