// Tests that need root (network namespaces, raw sockets) start with
// QELVOR_REQUIRE_ROOT_OR_SKIP(). Without root they are skipped on a developer's machine, but
// they fail when CI=true: there a skip would hide that nothing was checked.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

namespace qelvor::test {

inline bool running_as_root() { return geteuid() == 0; }

inline bool running_in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string_view(ci) == "true";
}

}  // namespace qelvor::test

// Returns from the calling test body (or SetUp) when the test cannot run.
#define QELVOR_REQUIRE_ROOT_OR_SKIP()                                                        \
    do {                                                                                     \
        if (!::qelvor::test::running_as_root()) {                                            \
            if (::qelvor::test::running_in_ci()) {                                           \
                GTEST_FAIL() << "needs root (network namespaces, raw sockets), and CI=true " \
                                "does not allow skipping";                                   \
            }                                                                                \
            GTEST_SKIP() << "needs root (network namespaces, raw sockets)";                  \
        }                                                                                    \
    } while (false)
