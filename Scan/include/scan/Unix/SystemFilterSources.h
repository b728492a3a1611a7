// The nine sources of system filters, in the order the system filter enumerator runs them
// (scan/Unix/SystemFilterEnumerator.h); each has its own header.
#pragma once

#include "scan/Unix/FilterApplicationSpecificFiles.h"
#include "scan/Unix/FilterDDBSnapshots.h"
#include "scan/Unix/FilterFilesNotToBackup.h"
#include "scan/Unix/FilterFoldersAtMountHomeNotToBackup.h"
#include "scan/Unix/FilterOrreryFolders.h"
#include "scan/Unix/FilterOrreryMagneticMountPaths.h"
#include "scan/Unix/FilterPerformanceCounters.h"
#include "scan/Unix/FilterSingleInstanceDatabaseFiles.h"
#include "scan/Unix/FilterSystemProtectedFiles.h"
