// Small helpers the test programs (and the benchmarks) share: the shipped programs under test,
// text for messages and expectations, files in the temporary folder, whole files, command-line
// options.
#pragma once
#include <string>

// The shipped programs a suite drives. The shared entry point (library testmain) takes them from
// --wizard=PATH and --flasher=PATH; a test program with an entry point of its own sets them.
const std::wstring& WizardPath();
const std::wstring& FlasherPath();
void SetProgramPaths(const std::wstring& wizard, const std::wstring& flasher);

// UTF-8 of a wide string, as the programs write their logs and as gtest prints best.
std::string Utf8(const std::wstring& text);

// ASCII letters made lower case; every other byte as it was.
std::string Lower(std::string text);

// `name` in the temporary folder.
std::wstring TempPath(const wchar_t* name);

// A whole file, as bytes; empty when it cannot be read (then *found, when given, is false).
std::string ReadWholeFile(const std::wstring& path, bool* found = nullptr);

// The value of an option given as `name` immediately followed by it (for example
// OptionValue(arg, L"--wizard=")); nullptr when `arg` is not that option.
const wchar_t* OptionValue(const wchar_t* arg, const wchar_t* name);
