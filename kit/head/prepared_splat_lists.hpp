#pragma once
// Output lists for the frames of one splat binder, built ahead of time. Every frame hands its
// list of about 100k points to the caller, so each frame needs a new one; building it (copying
// the prototype, whose colours, opacities and other constant fields are already set) takes a
// millisecond on one core. take() returns the list prepared in the background after the previous
// frame, so a frame only writes the positions, scales and rotations, on all cores.

#include "kit/model/splat_memory_buffer.hpp"

#include <memory>
#include <vector>

namespace MivoKit {

class PreparedSplatLists {
public:
    PreparedSplatLists() = default;
    // Calls off a list not yet started and waits for one being built: nothing started here runs
    // on after the binder.
    ~PreparedSplatLists();
    PreparedSplatLists(const PreparedSplatLists&) = delete;
    PreparedSplatLists& operator=(const PreparedSplatLists&) = delete;

    // The points every list starts as; drops any list prepared from an earlier prototype.
    void setPrototype(SplatPointList prototype);
    const SplatPointList& prototype() const { return *prototype_; }

    // A list equal to the prototype: the prepared one (waiting while it is being built), else a
    // copy made now.
    SplatPointList take();
    // Starts building the next list on the background pool.
    void prepareNext();

private:
    struct Next;
    void dropNext();
    std::shared_ptr<const SplatPointList> prototype_ = std::make_shared<SplatPointList>();
    std::shared_ptr<Next> next_;
};

} // namespace MivoKit
