#include "approuting/unselected_members.h"

#include <gtest/gtest.h>

#include "approuting/membership.h"

namespace {

TEST(UnselectedMembers, SelectedProgramsAndTheirChildrenStay) {
  const std::set<std::string> wanted = BuildWantedNameSet({"Browser"});
  // 10 is selected by its command name, 11 by its executable; 12 is 10's
  // child, 13 12's; 20 was selected by the killed run only, 21 is its child;
  // 30's parent is selected but no member (the child was moved on its own).
  const std::vector<GroupMember> members = {
      {10, 1, "browser\n", "/usr/bin/browser"}, {11, 1, "renamed\n", "/opt/Browser"},
      {12, 10, "helper\n", "/usr/lib/helper"},  {13, 12, "sh\n", "/bin/sh"},
      {20, 1, "mail\n", "/usr/bin/mail"},       {21, 20, "sh\n", "/bin/sh"},
      {30, 99, "sh\n", "/bin/sh"}};
  EXPECT_EQ((std::vector<int>{20, 21, 30}), UnselectedMembers(members, wanted));
  // A loop of parents, which /proc cannot show but a race might, ends.
  EXPECT_EQ((std::vector<int>{40, 41}),
            UnselectedMembers({{40, 41, "a\n", ""}, {41, 40, "b\n", ""}}, wanted));
}

}  // namespace
