#pragma once
// The stored choice of the source folder: read by the menu, the library
// finder and vantry-find, written by the Options dialog. No Qt.

#include <string>
#include <vector>

namespace Vantry {

// Reads the source-directory choice. Automatic is always set; Path becomes
// the user's directory, or in automatic mode the host's RootDir + "/Source",
// and keeps its value when neither is stored. A stored value of the wrong
// type raises ERegistryException.
void ReadSettings(bool& AAutomatic, std::string& APath);
// Stores the choice (Path " " in automatic mode); silently stores nothing
// when the settings key cannot be written.
void WriteSettings(bool AAutomatic, const std::string& APath);
// Writes both values in one transaction; false, with the reason in AWhy,
// when the key cannot be opened.
bool WriteChoice(bool AAutomatic, const std::string& APath, std::string& AWhy);

// The source folder for a tool installed beside the IDE (vantry-find,
// vantry-lsp): the stored choice; before the IDE has run, when nothing is
// stored, the IDE's own default, the Source link in its installation root
// (PREFIX/lib/vantry beside PREFIX/bin; in a build tree, the IDE's folder).
// Empty, or " ", when none is set.
std::string ToolSourceFolder();

// Why the source folder APath cannot be shown, in words for the user
// ("Source folder not found: PATH", or the system's reason), or empty when
// it can be read.
std::string SourceFolderProblem(const std::string& APath);

// The IDE's extra libraries, searched after the source folder in this
// order: the string value Libraries under HKEY_CURRENT_USER\Software\Vantry\IDE,
// one folder a line (blank lines left out). None when it is not set.
std::vector<std::string> ReadExtraLibraries();

// The target the library is read for ("x86_64-linux"), or empty for this
// machine's; stored beside the source folder.
std::string ReadTargetChoice();
// False, with the reason in AWhy, when the key cannot be written.
bool WriteTargetChoice(const std::string& ATarget, std::string& AWhy);

}  // namespace Vantry
