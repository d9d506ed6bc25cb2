#pragma once
// Every test runs in a temporary working folder of its own, and a test after which the source
// tree holds a new entry fails: what a test writes belongs in its temporary folders. Both mains
// install it: InstallWorkingFolderGuard() before RUN_ALL_TESTS, and the run's exit code through
// WorkingFolderExitCode().

void InstallWorkingFolderGuard();
// `result` (RUN_ALL_TESTS's), or 1 when a test wrote into the source tree.
int WorkingFolderExitCode(int result);
