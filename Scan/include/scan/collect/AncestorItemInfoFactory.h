// The ancestor item information factory is shared with the flat-file index, so it lives with
// the DirChange classes.
#pragma once

#include "scan/dirchange/AncestorItemInfoFactory.h"
