// For death tests of the checks that a lock is (or is not) held: a release
// build compiles the checks out, so such a test reports a skip there. Death
// tests run in a fresh copy of the test binary, safe beside other threads.
#pragma once

#include <gtest/gtest.h>

#ifdef NDEBUG
#define SKIP_WITHOUT_LOCK_CHECKS() GTEST_SKIP() << "a release build does not check its locks"
#else
#define SKIP_WITHOUT_LOCK_CHECKS() GTEST_FLAG_SET(death_test_style, "threadsafe")
#endif
