#pragma once

// The commands of quarl-cli. Each takes the arguments after its name and returns the exit
// status: 0 success, 1 failure (one line on standard error naming the file and the reason),
// 2 usage error.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int RunNew(int argc, char** argv);
int RunRender(int argc, char** argv);
int RunInfo(int argc, char** argv);
int RunPlay(int argc, char** argv);
int RunRecord(int argc, char** argv);
int RunDevices(int argc, char** argv);
