// The stand-ins the i386 plugin links in place of C library symbols newer
// than its floor must behave like the originals, which this machine's
// library still has: a wrong stat version, unwind base or forwarded argument
// would only show on a game server.

#include <gtest/gtest.h>

#if defined(__i386__)

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

extern "C" {
int __wrap_stat64(const char*, struct stat64*);
int __wrap_fstat64(int, struct stat64*);
int __wrap_lstat64(const char*, struct stat64*);
int __wrap_fcntl(int, int, ...);
int __wrap_utimensat(int, const char*, const struct timespec[2], int);
int __wrap_getentropy(void*, size_t);
char* __wrap_secure_getenv(const char*);
int __wrap_clock_gettime(clockid_t, struct timespec*);
int __wrap_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int __wrap_pthread_join(pthread_t, void**);
int __wrap__dl_find_object(void*, struct dl_find_object*);
}

namespace {

TEST(ArtefactGlibcCompat, FileCallsMatchTheLibrary) {
    char file[] = "/tmp/ironpost_compat_XXXXXX";
    const int descriptor = mkstemp(file);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(write(descriptor, "12345", 5), 5);
    const std::string link = std::string(file) + ".link";
    ASSERT_EQ(symlink(file, link.c_str()), 0);

    struct Case {
        const char* what;
        int wrapped;
        int real;
        struct stat64 wrapped_result, real_result;
    } cases[] = {{"stat64 of the link", 0, 0, {}, {}},
                 {"lstat64 of the link", 0, 0, {}, {}},
                 {"fstat64", 0, 0, {}, {}}};
    cases[0].wrapped = __wrap_stat64(link.c_str(), &cases[0].wrapped_result);
    cases[0].real = stat64(link.c_str(), &cases[0].real_result);
    cases[1].wrapped = __wrap_lstat64(link.c_str(), &cases[1].wrapped_result);
    cases[1].real = lstat64(link.c_str(), &cases[1].real_result);
    cases[2].wrapped = __wrap_fstat64(descriptor, &cases[2].wrapped_result);
    cases[2].real = fstat64(descriptor, &cases[2].real_result);
    for (const Case& check : cases) {
        EXPECT_EQ(check.wrapped, 0) << check.what;
        EXPECT_EQ(check.wrapped, check.real) << check.what;
        EXPECT_EQ(check.wrapped_result.st_ino, check.real_result.st_ino) << check.what;
        EXPECT_EQ(check.wrapped_result.st_mode, check.real_result.st_mode) << check.what;
        EXPECT_EQ(check.wrapped_result.st_size, check.real_result.st_size) << check.what;
    }
    struct stat64 missing;
    EXPECT_EQ(__wrap_stat64("/nonexistent/ironpost", &missing), -1);
    EXPECT_EQ(errno, ENOENT);

    // fcntl forwards its one argument; utimensat reaches the kernel.
    const int flags = __wrap_fcntl(descriptor, F_GETFL);
    ASSERT_EQ(__wrap_fcntl(descriptor, F_SETFL, flags | O_NONBLOCK), 0);
    EXPECT_EQ(fcntl(descriptor, F_GETFL), flags | O_NONBLOCK);
    const struct timespec times[2] = {{1000000000, 0}, {1234567890, 0}};
    ASSERT_EQ(__wrap_utimensat(AT_FDCWD, file, times, 0), 0);
    struct stat64 touched;
    ASSERT_EQ(stat64(file, &touched), 0);
    EXPECT_EQ(touched.st_mtime, 1234567890);

    close(descriptor);
    unlink(link.c_str());
    unlink(file);
}

TEST(ArtefactGlibcCompat, ProcessCallsMatchTheLibrary) {
    unsigned char bytes[64] = {};
    ASSERT_EQ(__wrap_getentropy(bytes, sizeof(bytes)), 0);
    int nonzero = 0;
    for (unsigned char byte : bytes) {
        nonzero += byte != 0;
    }
    EXPECT_GT(nonzero, 32);
    unsigned char too_many[257];
    EXPECT_EQ(__wrap_getentropy(too_many, sizeof(too_many)), -1);

    setenv("IRONPOST_COMPAT_PROBE", "set", 1);
    EXPECT_STREQ(__wrap_secure_getenv("IRONPOST_COMPAT_PROBE"), "set");

    struct timespec before, wrapped, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    ASSERT_EQ(__wrap_clock_gettime(CLOCK_MONOTONIC, &wrapped), 0);
    clock_gettime(CLOCK_MONOTONIC, &after);
    const auto nanoseconds = [](const timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; };
    EXPECT_LE(nanoseconds(before), nanoseconds(wrapped));
    EXPECT_LE(nanoseconds(wrapped), nanoseconds(after));

    pthread_t thread;
    int value = 41;
    ASSERT_EQ(__wrap_pthread_create(
                  &thread, nullptr,
                  [](void* argument) -> void* {
                      ++*static_cast<int*>(argument);
                      return argument;
                  },
                  &value),
              0);
    void* result = nullptr;
    ASSERT_EQ(__wrap_pthread_join(thread, &result), 0);
    EXPECT_EQ(result, &value);
    EXPECT_EQ(value, 42);
}

// The unwinder finds every frame's unwind tables through this call.
TEST(ArtefactGlibcCompat, FindsUnwindTablesLikeTheLoader) {
    void* const pcs[] = {reinterpret_cast<void*>(&__wrap_stat64),  // this program
                         dlsym(RTLD_DEFAULT, "printf"),            // the C library
                         dlsym(RTLD_DEFAULT, "_dl_find_object")};  // the loader
    for (void* pc : pcs) {
        ASSERT_NE(pc, nullptr);
        struct dl_find_object wrapped = {}, real = {};
        ASSERT_EQ(__wrap__dl_find_object(pc, &wrapped), 0);
        ASSERT_EQ(_dl_find_object(pc, &real), 0);
        EXPECT_EQ(wrapped.dlfo_eh_frame, real.dlfo_eh_frame) << pc;
        EXPECT_LE(wrapped.dlfo_map_start, pc);
        EXPECT_GT(wrapped.dlfo_map_end, pc);
    }
    // Data-relative unwind entries count from the GOT. (The loader's own
    // _dl_find_object answers with the address of the DT_PLTGOT entry instead.)
    void* got = nullptr;
    __asm__("call 1f\n1: pop %0\n addl $_GLOBAL_OFFSET_TABLE_+(.-1b), %0" : "=r"(got));
    struct dl_find_object here = {};
    ASSERT_EQ(__wrap__dl_find_object(pcs[0], &here), 0);
    EXPECT_EQ(here.dlfo_eh_dbase, got);

    struct dl_find_object nowhere = {};
    EXPECT_EQ(__wrap__dl_find_object(reinterpret_cast<void*>(16), &nowhere), -1);
}

}  // namespace

#else

TEST(ArtefactGlibcCompat, FileCallsMatchTheLibrary) {
    GTEST_SKIP() << "only the i386 plugin links the stand-ins";
}

#endif
