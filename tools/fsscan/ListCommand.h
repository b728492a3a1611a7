#pragma once

// "fsscan list --results DIR [-0]": prints the items of the last scan's collect files.
int RunListCommand(int argc, char** argv);
