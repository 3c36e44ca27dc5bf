#pragma once
// Reads one directory into a string list: its subdirectories, or its other
// entries matching a mask. The only place the add-in reads the file system.

#include "platform/Classes.h"

#include <string>

namespace Vantry {

// Replaces AList's contents with the full path of every subdirectory of
// ADirectory that AAttr lets through, "." and ".." excepted, in the order the
// file system gives them. A directory that is missing, unreadable or empty,
// an empty path, and a null list all give nothing; nothing is reported.
void ListDirectories(const std::string& ADirectory, const std::string& AMask, int AAttr, TStrings* AList);
// The same for the entries that are not directories and match AMask.
void ListFiles(const std::string& ADirectory, const std::string& AMask, int AAttr, TStrings* AList);

}  // namespace Vantry
