#include <gtest/gtest.h>

#include "tests/support/TestStartUp.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    tarvex::test::ProgramStartUp(argc, argv);
    return RUN_ALL_TESTS();
}
