#include "scan/Version.h"

const char* ScanLibraryVersion() { return "0.1.0"; }
