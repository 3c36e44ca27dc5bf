#pragma once
// The menu as text, one line per item in menu order: two spaces per depth,
// the item's name, its caption in double quotes (with " and \ escaped by a
// \) and, when any is set, its flags in brackets, out of
// "disabled hidden checked radio break bar-break" in that order. The menu
// bar's menus are at depth 0; separators are included.

#include "hostmodel/HostMenuModel.h"

#include <string>

namespace Vantry {

std::string DumpMenu(const THostMenuModel& AModel);

}  // namespace Vantry
