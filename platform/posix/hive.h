// The registry's tree and its text form, the Windows registry export format
// ("Windows Registry Editor Version 5.00"). Shared by registry.cpp only.
#pragma once

#include "internal.h"

#include <string>
#include <vector>

namespace winplat {

struct Value {
    WString Name; // empty: the key's default value
    DWORD Type;
    std::vector<BYTE> Data;
};

struct Key {
    WString Name;
    std::vector<Key> SubKeys;
    std::vector<Value> Values;
};

// The two roots, by index.
enum { LocalMachine, CurrentUser, RootCount };
const char *const RootNames[RootCount] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"};

struct Hive {
    Key Roots[RootCount];
};

// Subkey or value of that name, compared ignoring case; null when missing.
Key *FindSubKey(Key &key, const WString &name);
Value *FindValue(Key &key, const WString &name);
// The key at `path` below `root`; null when missing.
Key *Walk(Key &root, const std::vector<WString> &path);
// Walks `path`, creating what is missing; `created` tells whether anything was.
Key &WalkCreating(Key &root, const std::vector<WString> &path, bool *created);
// A name the hive file can hold: no line breaks, no terminators, no lone surrogates.
bool Storable(const WString &name);
// Splits "A\\B\\C" into its names; a leading backslash is refused as on Windows.
LONG SplitSubKey(LPCWSTR subKey, std::vector<WString> *parts);

// The whole hive as text.
std::string ExportHive(const Hive &hive);
// Reads a hive's text; on failure, the line and the reason.
bool ParseHive(std::string text, Hive &hive, int *line, std::string *error);

} // namespace winplat
