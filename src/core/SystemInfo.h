#pragma once
// Small system utilities: thread and process numbers, the computer's name,
// the program's version, file-name helpers.

#include <cstdint>
#include <string>

namespace wk {

// The kernel thread id of the calling thread (what the trace shows).
uint32_t CurrentThreadId();
uint32_t CurrentProcessId();
// Gives the calling thread `name` (its first 15 bytes) for top -H, ps and
// debuggers. The main thread keeps the program's name, under which ps and
// kill find the process.
void NameCurrentThread(const char* name);

// Executables here carry no version resource, so GetFileVersionString gives
// the "%d.%d.%d.%d" version for the running executable and an empty text for
// any other file.
std::string GetFileVersionString(const std::string& path);
std::string GetProgramVersion();  // "major.minor.patch.0" of this build
std::string GetExecutablePath();  // /proc/self/exe, empty when unreadable
std::string GetExecutableFolder();  // with a trailing '/', empty when unknown

// The computer's network name; empty when it cannot be read.
std::string GetComputerNameString();
// The last operating-system error number (errno) as decimal text.
std::string GetLastErrorString();

// True if the path exists, else the result of creating that one directory
// (no intermediate directories).
bool EnsureDirectory(const std::string& path);

// Replaces * ? \ & ~ / < > | @ and " by '_' in place; the colon stays.
void MakeFileNameSafe(std::string& text);

// The extension of the last path component, with its leading point ("" if none).
std::string GetFileExtension(const std::string& name);

}  // namespace wk
