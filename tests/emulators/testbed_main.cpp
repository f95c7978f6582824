// main() for GoogleTest binaries that use emulated devices: the process re-executes itself
// under the umockdev preload library before any test runs.
#include "testbed.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (!emulators::reexecUnderPreload(argc, argv))
        return 2;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
