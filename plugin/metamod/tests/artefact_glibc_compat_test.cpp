// The i386 plugin's unwinder finds each frame's unwind tables through a
// stand-in for _dl_find_object (glibc 2.35), which must agree with the
// original this machine still has: a wrong answer would only show on a game
// server, as every exception ending the process.

#include <gtest/gtest.h>

#if defined(__i386__)

#include <dlfcn.h>

extern "C" int __wrap__dl_find_object(void*, struct dl_find_object*);

TEST(ArtefactGlibcCompat, FindsUnwindTablesLikeTheLibrary) {
    for (void* pc :
         {reinterpret_cast<void*>(&__wrap__dl_find_object), dlsym(RTLD_DEFAULT, "printf")}) {
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
    ASSERT_EQ(__wrap__dl_find_object(reinterpret_cast<void*>(&__wrap__dl_find_object), &here), 0);
    EXPECT_EQ(here.dlfo_eh_dbase, got);
    EXPECT_EQ(__wrap__dl_find_object(reinterpret_cast<void*>(16), &here), -1);
}

#else

TEST(ArtefactGlibcCompat, FindsUnwindTablesLikeTheLibrary) {
    GTEST_SKIP() << "only the i386 plugin links the stand-ins";
}

#endif
