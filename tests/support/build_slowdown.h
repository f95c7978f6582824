#pragma once
// How much slower than a plain native build this test build runs, for the few bounds a test
// puts on time or CPU use: a sanitizer's checks, or user-mode emulation of the board's CPU,
// make the same work take several times as long.

namespace testsupport {

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEK_TEST_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define VEK_TEST_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VEK_TEST_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define VEK_TEST_TSAN 1
#endif

/// The factor a nominal time or CPU bound is multiplied by in this build. VEK_TESTS_UNDER_EMULATOR
/// is defined by the test build when its programs run under an emulator (the armhf build).
#if defined(VEK_TESTS_UNDER_EMULATOR)
constexpr int kBuildSlowdown = 10;
#elif defined(VEK_TEST_TSAN)
constexpr int kBuildSlowdown = 5;
#elif defined(VEK_TEST_ASAN)
constexpr int kBuildSlowdown = 3;
#else
constexpr int kBuildSlowdown = 1;
#endif

#undef VEK_TEST_ASAN
#undef VEK_TEST_TSAN

} // namespace testsupport
