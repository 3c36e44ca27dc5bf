// Where each file of a library stands: the target, the library's own or
// not, how widely its unit is used, and whether other units see it.

#include "index/FileStanding.h"

#include <gmock/gmock.h>

using namespace Vantry;

namespace {

// Links as the scanner writes them: "u:Classes i:a.inc" and so on.
std::string Links(std::initializer_list<const char*> ALinks) {
  std::string links;
  for (std::string_view link : ALinks) links.append(1, link[0]).append(link.substr(2)).push_back('\0');
  return links;
}

TEST(FileStandingTest, RanksFilesByTargetUseAndVisibility) {
  const std::vector<std::string> links = {
      Links({"u:Classes", "u:Old"}),                            // 0 rtl/unix/a.pp
      Links({"u:Classes"}),                                     // 1 rtl/unix/b.pp
      Links({"u:Classes", "u:Classes"}),                        // 2 rtl/unix/c.pp: counts once
      Links({"i:classesh.inc", "h:classes.inc", "x:cpu16.inc"}),  // 3 rtl/unix/classes.pp
      Links({}),                                                // 4 rtl/objpas/classesh.inc
      Links({"i:deeper.inc"}),                                  // 5 rtl/objpas/classes.inc
      Links({}),                                                // 6 rtl/objpas/deeper.inc
      Links({}),                                                // 7 rtl/inc/cpu16.inc
      Links({}),                                                // 8 rtl/old/old.pp
      Links({"u:Classes"}),                                     // 9 rtl/amiga/user.pp: another target's use
      Links({}),                                                // 10 rtl/linux/system.pp
      Links({}),                                                // 11 packages/x/examples/demo.pp
  };
  const std::vector<TStandingSource> files = {
      {"rtl/unix/a.pp", false, links[0]},          {"rtl/unix/b.pp", false, links[1]},
      {"rtl/unix/c.pp", false, links[2]},          {"rtl/unix/classes.pp", false, links[3]},
      {"rtl/objpas/classesh.inc", false, links[4]}, {"rtl/objpas/classes.inc", false, links[5]},
      {"rtl/objpas/deeper.inc", false, links[6]},  {"rtl/inc/cpu16.inc", false, links[7]},
      {"rtl/old/old.pp", false, links[8]},         {"rtl/amiga/user.pp", false, links[9]},
      {"rtl/linux/system.pp", false, links[10]},   {"packages/x/examples/demo.pp", true, links[11]},
  };
  const std::vector<TFileStanding> s = StandingOfFiles("/nowhere", files, *ParseTarget("x86_64-linux"));
  // Classes is used by three files the target reads (the Amiga one does not
  // count), Old by one: Classes's own files, and what it includes, count as
  // more used.
  EXPECT_LT(s[3].Rarity, s[8].Rarity);
  EXPECT_EQ(s[4].Rarity, s[3].Rarity);
  EXPECT_EQ(s[6].Rarity, s[3].Rarity);  // through a nested include
  EXPECT_EQ(s[3].Rarity, MostRarity - 2);  // three users: bit width 2
  EXPECT_EQ(s[8].Rarity, MostRarity - 1);
  // System, used without being named, counts less than the most used unit.
  EXPECT_GT(s[10].Rarity, s[3].Rarity);
  EXPECT_EQ(s[11].Rarity, MostRarity);  // a program
  // What an implementation includes, and what that includes, other units
  // never see; what the interface includes they do.
  EXPECT_FALSE(s[4].Hidden);
  EXPECT_TRUE(s[5].Hidden);
  EXPECT_TRUE(s[6].Hidden);
  EXPECT_FALSE(s[3].Hidden);
  // Included only in a branch the target skips: another target's.
  EXPECT_EQ(s[7].Place & 8, 8);
  EXPECT_EQ(s[4].Place & 8, 0);
  EXPECT_EQ(s[9].Place & 8, 8);
  EXPECT_EQ(s[11].Place & 4, 4);  // not the library's own
}

}  // namespace
