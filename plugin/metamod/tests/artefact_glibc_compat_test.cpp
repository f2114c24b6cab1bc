// The i386 plugin links stand-ins for C library symbols newer than its
// floor. Where this machine's library still has the originals, the
// stand-ins must agree with them: a wrong stat version or unwind table would
// only show on a game server, as failed file checks or as every exception
// ending the process.

#include <gtest/gtest.h>

#if defined(__i386__)

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
int __wrap_stat64(const char*, struct stat64*);
int __wrap_fstat64(int, struct stat64*);
int __wrap_lstat64(const char*, struct stat64*);
int __wrap__dl_find_object(void*, struct dl_find_object*);
}

TEST(ArtefactGlibcCompat, StandInsAgreeWithTheLibrary) {
    // stat follows the link to the directory, lstat does not.
    struct stat64 ours[3] = {}, library[3] = {};
    const int descriptor = open("/proc/self/exe", O_RDONLY);
    EXPECT_EQ(__wrap_stat64("/proc/self/cwd", &ours[0]), stat64("/proc/self/cwd", &library[0]));
    EXPECT_EQ(__wrap_lstat64("/proc/self/cwd", &ours[1]), lstat64("/proc/self/cwd", &library[1]));
    EXPECT_EQ(__wrap_fstat64(descriptor, &ours[2]), fstat64(descriptor, &library[2]));
    close(descriptor);
    for (int index = 0; index < 3; ++index) {
        EXPECT_EQ(ours[index].st_ino, library[index].st_ino) << index;
        EXPECT_EQ(ours[index].st_mode, library[index].st_mode) << index;
    }

    // The unwinder finds each frame's tables through _dl_find_object.
    for (void* pc : {reinterpret_cast<void*>(&__wrap_stat64), dlsym(RTLD_DEFAULT, "printf")}) {
        struct dl_find_object found = {}, expected = {};
        ASSERT_EQ(__wrap__dl_find_object(pc, &found), 0);
        ASSERT_EQ(_dl_find_object(pc, &expected), 0);
        EXPECT_EQ(found.dlfo_eh_frame, expected.dlfo_eh_frame);
        EXPECT_TRUE(found.dlfo_map_start <= pc && pc < found.dlfo_map_end);
    }
    // Data-relative entries count from the GOT (the library's own answer
    // here is the address of the DT_PLTGOT entry instead).
    void* got = nullptr;
    __asm__("call 1f\n1: pop %0\n addl $_GLOBAL_OFFSET_TABLE_+(.-1b), %0" : "=r"(got));
    struct dl_find_object here = {};
    ASSERT_EQ(__wrap__dl_find_object(reinterpret_cast<void*>(&__wrap_stat64), &here), 0);
    EXPECT_EQ(here.dlfo_eh_dbase, got);
    EXPECT_EQ(__wrap__dl_find_object(reinterpret_cast<void*>(16), &here), -1);
}

#else

TEST(ArtefactGlibcCompat, StandInsAgreeWithTheLibrary) {
    GTEST_SKIP() << "only the i386 plugin links the stand-ins";
}

#endif
