#include "core/kernels/lane_queries.h"

#include <memory>

namespace kelvor {

LaneQueries& lane_queries() {
    // Heap-held: tens of kilobytes are too many for static TLS.
    thread_local std::unique_ptr<LaneQueries> scratch = std::make_unique<LaneQueries>();
    return *scratch;
}

}  // namespace kelvor
