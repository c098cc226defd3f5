// The host threads that carry frames: the camera's stand-in, the USB
// completions, the capture thread, the process dispatch and the conversion
// helpers. Each names itself (as `top -H` and `ps -L` show it) and joins
// the frame path while it runs. The frame path can be raised above the
// rest of the machine, as audio and video servers raise their data
// threads, so that frames keep their rate when other work competes for the
// cores: real-time scheduling where the system allows it, else a lower nice
// value, else as before. Encoders, writers and user interfaces never join.
#pragma once

#include <string>

namespace kernel {

// Names the calling thread (at most 15 characters are kept).
void NameThread(const char* name);

// While one lives, the calling thread is on the frame path: it gets the
// path's priority now and whenever it changes (a thread the program already
// runs higher keeps its place), and the priority it had when it joined
// again when it leaves. `name` (null: the thread keeps its own) names it;
// `above` lifts it that many real-time steps over the others (the camera's
// stand-in, which keeps the camera's clock).
class FramePathThread {
  public:
    explicit FramePathThread(const char* name, int above = 0);
    ~FramePathThread();
    FramePathThread(const FramePathThread&) = delete;
    FramePathThread& operator=(const FramePathThread&) = delete;

  private:
    int tid_;
};

struct FramePriority {
    enum class Kind { Normal, Nice, RealTime };
    Kind kind = Kind::Normal;
    int value = 0;  // the real-time priority, or the nice value
    bool asked = false;
    std::string description;  // what was obtained, and why no more, for people
};

// Raises the frame path until as many LowerFramePath calls: every thread
// on it now and later. Tries SCHED_FIFO (within RLIMIT_RTPRIO, or with
// CAP_SYS_NICE), then the lowest nice value down to -10 that RLIMIT_NICE
// allows; says what it obtained.
FramePriority RaiseFramePath();
void LowerFramePath();
// While held down (by a camera that runs flat out: real-time threads that
// never sleep would starve the machine), nothing of the path is raised,
// whoever asked; ReleaseFramePathHold ends one hold.
void HoldFramePathDown();
void ReleaseFramePathHold();
// What the frame path has: as raised, or normal with `why` not (empty:
// it was asked for but is held down).
FramePriority CurrentFramePriority(const std::string& whyNotAsked = {});

}  // namespace kernel
