#include "core/attention/scratch.h"

#include <cstdint>
#include <memory>

#include "core/codecs/encode_scratch.h"
#include "core/kernels/lane_queries.h"
#include "core/support/workspace.h"

namespace kelvor {

float* AttentionScratch::scores(int32_t rows, int32_t tokens) {
    const size_t need = static_cast<size_t>(rows) * static_cast<size_t>(tokens);
    if (scores_.size() < need) scores_.resize(need);
    return scores_.data();
}

float* AttentionScratch::copies(size_t floats) {
    if (copies_.size() < floats) copies_.resize(floats);
    return copies_.data();
}

float* AttentionScratch::block_sums(size_t floats) {
    if (block_sums_.size() < floats + 16) block_sums_.resize(floats + 16);
    float* data = block_sums_.data();
    return data + (16 - reinterpret_cast<uintptr_t>(data) / 4 % 16) % 16;
}

AttentionScratch& attention_scratch() {
    // Heap-held: tens of kilobytes are too many for static TLS.
    thread_local std::unique_ptr<AttentionScratch> scratch = std::make_unique<AttentionScratch>();
    return *scratch;
}

void make_thread_scratch() {
    thread_workspace();
    lane_queries();
    encode_scratch();
    attention_scratch();
}

}  // namespace kelvor
