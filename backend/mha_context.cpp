#include "backend/mha_context.h"

#include <stdexcept>
#include <string>

namespace kelvor {

HeadIndex checked_head(const kelvor_mha_ctx& ctx, int32_t head_idx) {
    if (!has_head(ctx, head_idx)) {
        throw std::out_of_range("head " + std::to_string(head_idx) + " is out of range for a context with " +
                                std::to_string(ctx.n_heads) + " heads");
    }
    return HeadIndex(head_idx);
}

}  // namespace kelvor
