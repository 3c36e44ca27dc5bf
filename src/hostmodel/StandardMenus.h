#pragma once
// The IDE's own menus, named as the IDE names them: File (FileMenu, with
// FileSaveItem and its neighbours), Edit, Search, View, Project, Run, Tools
// and Help.

#include "hostmodel/HostMenuModel.h"

namespace Vantry {

void AddStandardMenus(THostMenuModel& AModel);

}  // namespace Vantry
