#include "hostmodel/MenuDump.h"

namespace Vantry {

namespace {

std::string Escaped(const std::string& S) {
  std::string out;
  for (char c : S) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string FlagsText(TIMenuFlags AFlags) {
  std::string text;
  auto add = [&](bool AOn, const char* AName) {
    if (!AOn) return;
    text += text.empty() ? "" : " ";
    text += AName;
  };
  add(!AFlags.Contains(mfEnabled), "disabled");
  add(!AFlags.Contains(mfVisible), "hidden");
  add(AFlags.Contains(mfChecked), "checked");
  add(AFlags.Contains(mfRadioItem), "radio");
  add(AFlags.Contains(mfBreak), "break");
  add(AFlags.Contains(mfBarBreak), "bar-break");
  return text.empty() ? text : " [" + text + "]";
}

void Dump(const THostMenuNode& ANode, int ADepth, std::string& AOut) {
  AOut += std::string(2 * ADepth, ' ') + ANode.Name + " \"" + Escaped(ANode.Caption) + "\"" + FlagsText(ANode.Flags) +
          "\n";
  for (const auto& child : ANode.Children) Dump(*child, ADepth + 1, AOut);
}

}  // namespace

std::string DumpMenu(const THostMenuModel& AModel) {
  std::string out;
  for (const auto& menu : AModel.Root().Children) Dump(*menu, 0, out);
  return out;
}

}  // namespace Vantry
