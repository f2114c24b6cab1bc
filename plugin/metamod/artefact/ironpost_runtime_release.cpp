// The C++ runtime linked into the plugin allocates an emergency pool (about
// 70 KB) for exceptions thrown while memory is exhausted, and nothing frees
// it. The loader unloads the plugin with dlclose, so every unload or reload
// would strand one pool. This object is built when the plugin loads, before
// anything the plugin creates later, and so is destroyed after all of it: at
// dlclose, or at exit after the process object has stopped its workers.

namespace __gnu_cxx {
void __freeres();  // the runtime's own release of that pool
}

namespace {

struct RuntimePoolRelease {
    RuntimePoolRelease() = default;
    RuntimePoolRelease(const RuntimePoolRelease&) = delete;
    RuntimePoolRelease& operator=(const RuntimePoolRelease&) = delete;
    ~RuntimePoolRelease() { __gnu_cxx::__freeres(); }
};

RuntimePoolRelease g_runtime_pool_release;

}  // namespace
