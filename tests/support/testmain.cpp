#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <string.h>
#include <map>
#include <string>

static std::map<std::string, ChildFn> &Roles()
{
    static std::map<std::string, ChildFn> roles;
    return roles;
}

ChildRole::ChildRole(const char *name, ChildFn fn) { Roles()[name] = fn; }

int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "child") == 0) {
        auto it = Roles().find(argv[2]);
        if (it == Roles().end())
            return 99;
        return it->second(argc - 2, argv + 2);
    }
    testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    if (rc == 0)
        RemoveTempDirs();
    return rc;
}
