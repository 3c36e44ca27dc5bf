// The main of test programs without widgets. Like the IDE, it takes the
// collation from the environment before anything sorts.

#include <gtest/gtest.h>

#include <clocale>

int main(int argc, char** argv) {
  std::setlocale(LC_COLLATE, "");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
