// The options that say what a job takes in, shared by "fsscan scan" and "fsscan filters":
//   --subclient FILE      a subclient file: content, filters, exceptions, readers
//   --content PATH        a quick job's content (not with --subclient)
//   --filter PATTERN      a filter, as tar and rsync read patterns (added to the subclient's)
//   --exception PATTERN   an exception, the same
//   --no-system-filters   leave the system filters out
#pragma once

#include <string>
#include <vector>

#include "CommandLine.h"
#include "core/KoError.h"
#include "scan/content/SubclientJobSetup.h"

class CJobSetupOptions {
public:
    static const std::vector<std::string>& Valued();
    static const std::vector<std::string>& Flags();
    static const char* Usage();

    // Checks the options' combination; false with `why` when they do not make a job.
    static bool Check(const CCommandLine& cl, std::string& why);

    // Fills `setup`. The subclient's local copy "BackupContent.xml" lives in `resultsDir` (when
    // it exists); `fullLevel` is the backup level the system filters are asked for. An error of
    // the subclient file names the file and line.
    static CKoError Load(const CCommandLine& cl, const std::string& resultsDir, bool fullLevel, CSubclientJobSetup& setup);
};
