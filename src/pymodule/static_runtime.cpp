// Linked only into a module that carries its own C++ runtime (the distributed
// wheel). That runtime was built against a recent glibc, and its reference
// counting reads glibc 2.32's __libc_single_threaded to skip atomic operations
// in single-threaded processes; the reference alone would keep the module from
// loading on the glibc 2.17 systems the wheel is tagged for. This definition,
// hidden inside the module, answers "maybe threaded" for good, so the runtime
// always takes the atomic path: correct everywhere, and never hot here.
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;  // NOLINT: the runtime's own name
}
