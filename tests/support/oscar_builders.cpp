// The builders are inline in the header; bench/CMakeLists.txt names this unit.
#include "support/oscar_builders.h"
