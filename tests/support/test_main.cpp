#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    // Socket tests write to peers that may have gone; a broken pipe must be an
    // error code, not the end of the test program.
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
