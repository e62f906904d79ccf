// The transport suites keep their registry in a private file.
#include <gtest/gtest.h>

#include "transport/loopback.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    kdm::test::PrivateRegistry registry;
    return RUN_ALL_TESTS();
}
