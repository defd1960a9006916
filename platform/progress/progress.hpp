#pragma once
// Stand-in for the platform's progress objects: how many units of a piece of work are done out of
// its total, in a tree where work that a task calls reports into that task's progress without
// either side knowing the other.
//
// Joining: a thread makes a progress its current one with becomeCurrent(pendingUnitCount) and
// undoes that with resignCurrent(); the two nest like brackets. The next Progress constructed on
// that thread meanwhile becomes its child and stands for `pendingUnitCount` of the parent's units;
// those units are then spent, so progresses constructed after it, until the parent resigns, do not
// join. A child's share (its fractionCompleted times its units) counts in the parent's
// fractionCompleted, also after the child object is gone. A progress made on a thread where no
// progress is current joins nothing, whatever is current on other threads.
//
// Threads: becomeCurrent and resignCurrent act on the calling thread only. The thread doing the
// work sets the completed count; the counts and fractionCompleted may be read from any thread at
// any time. A progress cannot be cancelled or paused and sends no notices: the archive module, the
// one that makes them, asks for none of that.

#include <cstdint>
#include <memory>

namespace MivoKit {

namespace platform::progress {

class Progress {
public:
    // Joins the calling thread's current progress when it has pending units (see above).
    explicit Progress(std::int64_t totalUnitCount);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    std::int64_t totalUnitCount() const;
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t completed);

    // (completed units + the children's shares) / total, clamped to 0...1. A negative total (the
    // amount of work is not known) gives 0; a total of 0 (nothing to do) gives 1 once the completed
    // count has been set to 0 or more, and 0 before.
    double fractionCompleted() const;

    // Makes this progress the calling thread's current one, with `pendingUnitCount` of its units
    // for the next progress constructed on this thread, until resignCurrent().
    void becomeCurrent(std::int64_t pendingUnitCount);
    // Restores the thread's current progress from before the matching becomeCurrent(). Throws
    // std::logic_error when this progress is not the calling thread's current one.
    void resignCurrent();

    // Opaque; shared with the parent, which keeps counting the share, and with the thread's list
    // of current progresses.
    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace platform::progress

} // namespace MivoKit
