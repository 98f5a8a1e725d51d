// Entry point of the GL test programs: one hidden OpenGL context, current for every case.
#include "OffscreenContext.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <exception>
#include <memory>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (testing::GTEST_FLAG(list_tests)) {
        return RUN_ALL_TESTS();
    }
    std::unique_ptr<OffscreenContext> context;
    try {
        context = std::make_unique<OffscreenContext>(argv[0]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return RUN_ALL_TESTS();
}
