#pragma once

// udev and /dev must be redirected into a umockdev test bed by the umockdev
// preload library, which only works when it is loaded at process start. A
// test binary that needs it calls this first thing in main(): when the
// library is missing (run from ctest or by hand) the binary starts itself
// again with it, as `umockdev-wrapper <binary>` would. Returns only when the
// preload is active.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

inline void RestartUnderUmockdevPreload(char** argv)
{
    const char* old = std::getenv("LD_PRELOAD");
    if (old && std::strstr(old, "libumockdev-preload"))
        return;
    std::string preload = "libumockdev-preload.so.0";
    if (old && *old)
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    // A sanitizer runtime insists on coming first; the preload comes first here.
    const char* asanOld = std::getenv("ASAN_OPTIONS");
    std::string asan = asanOld ? asanOld : "";
    setenv("ASAN_OPTIONS", (asan.empty() ? asan : asan + ":").append("verify_asan_link_order=0").c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("cannot restart the test binary with the umockdev preload");
    std::exit(1);
}
