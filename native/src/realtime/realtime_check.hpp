#pragma once
// Marks the render as a real-time section for LLVM's real-time sanitizer in
// builds configured with VELMORA_RTSAN; compiles to nothing elsewhere. Any
// allocation, lock or blocking call inside the section then aborts the run.

#if defined(VELMORA_RTSAN)
extern "C" void __rtsan_realtime_enter();
extern "C" void __rtsan_realtime_exit();

namespace velmora::realtime {
// Called inside every render section when set: the checker's negative
// control installs an allocating probe here to prove violations are caught.
extern void (*renderProbe)();
}  // namespace velmora::realtime
#endif

namespace velmora::realtime {

struct RealtimeSection {
#if defined(VELMORA_RTSAN)
    RealtimeSection() noexcept {
        __rtsan_realtime_enter();
        if (renderProbe != nullptr) renderProbe();
    }
    ~RealtimeSection() { __rtsan_realtime_exit(); }
#else
    RealtimeSection() noexcept = default;
#endif
    RealtimeSection(const RealtimeSection&) = delete;
    RealtimeSection& operator=(const RealtimeSection&) = delete;
};

}  // namespace velmora::realtime
