// The subcommands of fsscan: each parses its arguments, runs its job with the library, prints the
// summary and returns the exit code (0 success, 1 done with item errors, 2 failed).
#pragma once

int RunScanCommand(int argc, char** argv);
int RunBackupCommand(int argc, char** argv);
// "fsscan list --results DIR [-0]": prints the items of the last scan's collect files.
int RunListCommand(int argc, char** argv);
// "fsscan filters": the effective content, filters, exceptions and readers of a job.
int RunFiltersCommand(int argc, char** argv);
// "fsscan restore --results DIR --from DEST --to TARGET [--path P ...] [--overwrite]".
int RunRestoreCommand(int argc, char** argv);
// "fsscan trueup --results DIR [--method file|container] [--repair]": exit 0 nothing differs,
// 1 differences found, 2 failed or partial.
int RunTrueUpCommand(int argc, char** argv);
// "fsscan commit --results DIR --job N": commits a stopped backup job.
int RunCommitCommand(int argc, char** argv);
// "fsscan status --results DIR": the job history and what the next incremental compares against.
int RunStatusCommand(int argc, char** argv);
