// Entry point of the umockdev-based tests. udev and /dev must be redirected
// into the test bed by the umockdev preload library, which only works when
// it is loaded at process start. So when it is missing (run from ctest, by
// hand or for test discovery) the binary starts itself again with it, just
// as `umockdev-wrapper <binary>` would.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";

bool PreloadRequested()
{
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload");
}

}  // namespace

int main(int argc, char** argv)
{
    if (!PreloadRequested()) {
        const char* old = std::getenv("LD_PRELOAD");
        std::string preload = kPreload;
        if (old && *old)
            preload += std::string(":") + old;
        setenv("LD_PRELOAD", preload.c_str(), 1);
        // A sanitizer runtime insists on coming first; the preload comes first here.
        std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
        setenv("ASAN_OPTIONS", (asan.empty() ? asan : asan + ":").append("verify_asan_link_order=0").c_str(), 1);
        execv("/proc/self/exe", argv);
        std::perror("cannot restart the test binary with the umockdev preload");
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
