// main() of the link tests: the emulated board must exist before any test (or the code
// under test) calls libusb_init, or libusb would not see it.
#include "emulated_board.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (build-time discovery) needs no board.
    if (!::testing::GTEST_FLAG(list_tests)) test_support::create_test_board();
    const int result = RUN_ALL_TESTS();
    test_support::destroy_test_board();
    return result;
}
