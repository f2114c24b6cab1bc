// Keeps the i386 plugin loadable on the old C libraries hosting distributions
// still run. The static C++ runtime and unwinder of the build machine refer to
// C library symbols at that library's versions: the pthread functions moved
// into libc in 2.34, stat became a real function in 2.33, fcntl got a new
// version in 2.28, the unwinder asks for _dl_find_object (2.35) and
// random_device for getentropy (2.25) and arc4random (2.36), over-aligned new
// for aligned_alloc (2.16), the settlement journal for mkostemp (2.7); the
// worker client's dlopen and dladdr1 and the runtime's rwlocks also moved
// into libc in 2.34. The plugin's link redirects those references (--wrap) to
// the functions below, which call the oldest version of the same function or
// stand in for it with older calls. A new stand-in __wrap_X needs X in
// IRONPOST_GLIBC_WRAPPED_SYMBOLS (CMakeLists.txt). Only the i386 plugin uses
// this; elsewhere the file is empty.

#if defined(__i386__) && defined(__linux__)

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

// Binds the local name `local` to `symbol` at `version` of the C library.
#define IRONPOST_GLIBC_VERSION(local, symbol, version) \
    __asm__(".symver " #local ", " #symbol "@" version)

extern "C" {

// The oldest versions, called through local names so that the wrappers below
// do not refer to themselves. On libraries older than 2.34 the pthread ones
// live in libpthread.so.0 and clock_gettime in librt.so.1.
int ironpost_glibc_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int ironpost_glibc_pthread_join(pthread_t, void**);
int ironpost_glibc_pthread_detach(pthread_t);
int ironpost_glibc_pthread_once(pthread_once_t*, void (*)());
int ironpost_glibc_pthread_key_create(pthread_key_t*, void (*)(void*));
int ironpost_glibc_pthread_key_delete(pthread_key_t);
void* ironpost_glibc_pthread_getspecific(pthread_key_t);
int ironpost_glibc_pthread_setspecific(pthread_key_t, const void*);
int ironpost_glibc_clock_gettime(clockid_t, struct timespec*);
int ironpost_glibc_fcntl(int, int, ...);
int ironpost_glibc_xstat64(int, const char*, struct stat64*);
int ironpost_glibc_fxstat64(int, int, struct stat64*);
int ironpost_glibc_lxstat64(int, const char*, struct stat64*);
char* ironpost_glibc_secure_getenv(const char*);
IRONPOST_GLIBC_VERSION(ironpost_glibc_pthread_create, pthread_create, "GLIBC_2.1");
IRONPOST_GLIBC_VERSION(ironpost_glibc_pthread_join, pthread_join, "GLIBC_2.0");
IRONPOST_GLIBC_VERSION(ironpost_glibc_pthread_detach, pthread_detach, "GLIBC_2.0");
IRONPOST_GLIBC_VERSION(ironpost_glibc_pthread_once, pthread_once, "GLIBC_2.0");
IRONPOST_GLIBC_VERSION(ironpost_glibc_pthread_key_create, pthread_key_create, "GLIBC_2.0");
IRONPOST_GLIBC_VERSION(ironpost_glibc_pthread_key_delete, pthread_key_delete, "GLIBC_2.0");
IRONPOST_GLIBC_VERSION(ironpost_glibc_pthread_getspecific, pthread_getspecific, "GLIBC_2.0");
IRONPOST_GLIBC_VERSION(ironpost_glibc_pthread_setspecific, pthread_setspecific, "GLIBC_2.0");
IRONPOST_GLIBC_VERSION(ironpost_glibc_clock_gettime, clock_gettime, "GLIBC_2.2");
IRONPOST_GLIBC_VERSION(ironpost_glibc_fcntl, fcntl, "GLIBC_2.0");
IRONPOST_GLIBC_VERSION(ironpost_glibc_xstat64, __xstat64, "GLIBC_2.2");
IRONPOST_GLIBC_VERSION(ironpost_glibc_fxstat64, __fxstat64, "GLIBC_2.2");
IRONPOST_GLIBC_VERSION(ironpost_glibc_lxstat64, __lxstat64, "GLIBC_2.2");
IRONPOST_GLIBC_VERSION(ironpost_glibc_secure_getenv, __secure_getenv, "GLIBC_2.0");
int ironpost_glibc_pthread_rwlock_rdlock(pthread_rwlock_t*);
int ironpost_glibc_pthread_rwlock_wrlock(pthread_rwlock_t*);
int ironpost_glibc_pthread_rwlock_unlock(pthread_rwlock_t*);
void* ironpost_glibc_dlopen(const char*, int);
int ironpost_glibc_dladdr1(const void*, Dl_info*, void**, int);
IRONPOST_GLIBC_VERSION(ironpost_glibc_pthread_rwlock_rdlock, pthread_rwlock_rdlock, "GLIBC_2.1");
IRONPOST_GLIBC_VERSION(ironpost_glibc_pthread_rwlock_wrlock, pthread_rwlock_wrlock, "GLIBC_2.1");
IRONPOST_GLIBC_VERSION(ironpost_glibc_pthread_rwlock_unlock, pthread_rwlock_unlock, "GLIBC_2.1");
IRONPOST_GLIBC_VERSION(ironpost_glibc_dlopen, dlopen, "GLIBC_2.1");
IRONPOST_GLIBC_VERSION(ironpost_glibc_dladdr1, dladdr1, "GLIBC_2.3.3");

// The stat structure version the old __xstat64 family takes on i386.
static const int kStat64Version = 3;

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                          void* (*start)(void*), void* argument) {
    return ironpost_glibc_pthread_create(thread, attributes, start, argument);
}
int __wrap_pthread_join(pthread_t thread, void** result) {
    return ironpost_glibc_pthread_join(thread, result);
}
int __wrap_pthread_detach(pthread_t thread) {
    return ironpost_glibc_pthread_detach(thread);
}
int __wrap_pthread_once(pthread_once_t* once, void (*routine)()) {
    return ironpost_glibc_pthread_once(once, routine);
}
int __wrap_pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    return ironpost_glibc_pthread_key_create(key, destructor);
}
// The C++ runtime tests this name's address to learn whether threads exist;
// being defined, it always answers yes, which is right in every case.
int __wrap___pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    return ironpost_glibc_pthread_key_create(key, destructor);
}
int __wrap_pthread_key_delete(pthread_key_t key) {
    return ironpost_glibc_pthread_key_delete(key);
}
void* __wrap_pthread_getspecific(pthread_key_t key) {
    return ironpost_glibc_pthread_getspecific(key);
}
int __wrap_pthread_setspecific(pthread_key_t key, const void* value) {
    return ironpost_glibc_pthread_setspecific(key, value);
}

// Never "single threaded": the C++ runtime then always takes its atomic paths.
char __wrap___libc_single_threaded = 0;

int __wrap_clock_gettime(clockid_t clock, struct timespec* time) {
    return ironpost_glibc_clock_gettime(clock, time);
}

// Every fcntl command takes at most one int or pointer argument.
int __wrap_fcntl(int descriptor, int command, ...) {
    va_list arguments;
    va_start(arguments, command);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    return ironpost_glibc_fcntl(descriptor, command, argument);
}

int __wrap_stat64(const char* path, struct stat64* result) {
    return ironpost_glibc_xstat64(kStat64Version, path, result);
}
int __wrap_fstat64(int descriptor, struct stat64* result) {
    return ironpost_glibc_fxstat64(kStat64Version, descriptor, result);
}
int __wrap_lstat64(const char* path, struct stat64* result) {
    return ironpost_glibc_lxstat64(kStat64Version, path, result);
}

char* __wrap_secure_getenv(const char* name) {
    return ironpost_glibc_secure_getenv(name);
}

// The settlement journal's temporary files (mkostemp is 2.7): mkstemp, then
// close-on-exec set by hand.
int __wrap_mkostemp(char* name_template, int flags) {
    const int fd = mkstemp(name_template);
    if (fd >= 0 && (flags & O_CLOEXEC) != 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        const int error = errno;
        close(fd);
        unlink(name_template);
        errno = error;
        return -1;
    }
    return fd;
}

int __wrap_pthread_rwlock_rdlock(pthread_rwlock_t* lock) {
    return ironpost_glibc_pthread_rwlock_rdlock(lock);
}
int __wrap_pthread_rwlock_wrlock(pthread_rwlock_t* lock) {
    return ironpost_glibc_pthread_rwlock_wrlock(lock);
}
int __wrap_pthread_rwlock_unlock(pthread_rwlock_t* lock) {
    return ironpost_glibc_pthread_rwlock_unlock(lock);
}
// The worker client pins the plugin's own object with these.
void* __wrap_dlopen(const char* path, int flags) {
    return ironpost_glibc_dlopen(path, flags);
}
int __wrap_dladdr1(const void* address, Dl_info* info, void** extra, int flags) {
    return ironpost_glibc_dladdr1(address, info, extra, flags);
}
// Over-aligned operator new (2.16) stands on posix_memalign, which is older.
void* __wrap_aligned_alloc(size_t alignment, size_t size) {
    void* memory = nullptr;
    if (alignment < sizeof(void*)) {
        alignment = sizeof(void*);
    }
    return posix_memalign(&memory, alignment, size) == 0 ? memory : nullptr;
}

// The system call itself: the C library wrapper arrived in 2.6.
int __wrap_utimensat(int directory, const char* path, const struct timespec times[2], int flags) {
    return static_cast<int>(syscall(SYS_utimensat, directory, path, times, flags));
}

// Fills `buffer` from the kernel: getrandom where the kernel has it (3.17),
// /dev/urandom otherwise. False when neither delivers every byte.
static bool ReadKernelRandom(void* buffer, size_t length) {
    unsigned char* out = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < length) {
        const long count = syscall(SYS_getrandom, out + done, length - done, 0);
        if (count > 0) {
            done += static_cast<size_t>(count);
        } else if (count < 0 && errno == ENOSYS) {
            break;
        } else if (count == 0 || errno != EINTR) {
            return false;
        }
    }
    if (done == length) {
        return true;
    }
    const int descriptor = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    while (done < length) {
        const ssize_t count = read(descriptor, out + done, length - done);
        if (count > 0) {
            done += static_cast<size_t>(count);
        } else if (count == 0 || errno != EINTR) {
            break;
        }
    }
    close(descriptor);
    return done == length;
}

int __wrap_getentropy(void* buffer, size_t length) {
    if (length > 256) {  // the limit getentropy documents
        errno = EIO;
        return -1;
    }
    if (!ReadKernelRandom(buffer, length)) {
        errno = EIO;
        return -1;
    }
    return 0;
}

// arc4random cannot report failure; like the C library's own, it aborts when
// the kernel gives no randomness at all.
uint32_t __wrap_arc4random() {
    uint32_t value = 0;
    if (!ReadKernelRandom(&value, sizeof(value))) {
        abort();
    }
    return value;
}

struct IronpostFindObjectSearch {
    ElfW(Addr) pc;
    struct dl_find_object* result;
};

// dl_iterate_phdr callback: fills the result for the object whose loaded
// segments hold the pc and stops the walk there.
static int IronpostVisitObject(struct dl_phdr_info* info, size_t, void* data) {
    IronpostFindObjectSearch* search = static_cast<IronpostFindObjectSearch*>(data);
    ElfW(Addr) low = ~static_cast<ElfW(Addr)>(0);
    ElfW(Addr) high = 0;
    bool holds_pc = false;
    const ElfW(Phdr)* eh_frame = nullptr;
    const ElfW(Phdr)* dynamic = nullptr;
    for (ElfW(Half) index = 0; index < info->dlpi_phnum; ++index) {
        const ElfW(Phdr)& header = info->dlpi_phdr[index];
        if (header.p_type == PT_LOAD) {
            const ElfW(Addr) start = info->dlpi_addr + header.p_vaddr;
            const ElfW(Addr) end = start + header.p_memsz;
            low = start < low ? start : low;
            high = end > high ? end : high;
            holds_pc = holds_pc || (search->pc >= start && search->pc < end);
        } else if (header.p_type == PT_GNU_EH_FRAME) {
            eh_frame = &header;
        } else if (header.p_type == PT_DYNAMIC) {
            dynamic = &header;
        }
    }
    if (!holds_pc) {
        return 0;
    }
    struct dl_find_object& result = *search->result;
    result = {};
    result.dlfo_map_start = reinterpret_cast<void*>(low);
    result.dlfo_map_end = reinterpret_cast<void*>(high);
    if (eh_frame != nullptr) {
        result.dlfo_eh_frame = reinterpret_cast<void*>(info->dlpi_addr + eh_frame->p_vaddr);
    }
    // Data-relative unwind entries count from the object's GOT; the dynamic
    // loader has already relocated this entry in place on i386 Linux.
    if (dynamic != nullptr) {
        for (const ElfW(Dyn)* entry =
                 reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + dynamic->p_vaddr);
             entry->d_tag != DT_NULL; ++entry) {
            if (entry->d_tag == DT_PLTGOT) {
                result.dlfo_eh_dbase = reinterpret_cast<void*>(entry->d_un.d_ptr);
                break;
            }
        }
    }
    return 1;
}

// What the unwinder asks to find the unwind tables of the code at `pc`:
// 0 and the object's data, or -1 when no loaded object holds `pc`.
int __wrap__dl_find_object(void* pc, struct dl_find_object* result) {
    IronpostFindObjectSearch search{reinterpret_cast<ElfW(Addr)>(pc), result};
    return dl_iterate_phdr(IronpostVisitObject, &search) != 0 ? 0 : -1;
}

}  // extern "C"

#endif  // __i386__ && __linux__
