#pragma once
#include <cstdint>

#include "core/codebook.h"
#include "core/encoding.h"
#include "core/kernels.h"

namespace kelvor {

struct HeadCache;

// Everything that depends on how a head's vectors become codes: one codec per
// encoding, listed in codec.cpp. Append, attend and the saved state call the
// head's codec and never ask which encoding it is. Codecs are stateless; a
// head's statistics live in its HeadStats, whose lifetime the codec decides.
class Codec {
public:
    virtual ~Codec() = default;
    virtual const char* name() const = 0;
    // The levels and thresholds that codes of this width refer to.
    virtual Codebook codebook(int32_t bits) const = 0;
    // head_dim-float statistics arrays a head keeps once they are fixed (saved
    // with the head, in HeadStats order); 0 for a codec without statistics.
    virtual int32_t stats_arrays() const = 0;
    // False while the head stores no codes yet (its window answers for it).
    virtual bool codes_ready(const HeadCache& head) const = 0;
    // One token's key and value into streams of the head's two widths.
    virtual void encode_pair(const KernelTable& kt, const HeadCache& head, const float* key, const float* val,
                             uint8_t* key_stream, uint8_t* val_stream, float* key_scale, float* val_scale) const = 0;
    // Called once, on the append after which the head answers from its codes
    // (key and val are that append's token): fixes the statistics and codes
    // the tokens the ring holds.
    virtual void start_coding(const KernelTable& kt, HeadCache& head, const float* key, const float* val) const = 0;
    // The query that the coded keys are scored against: `query` itself, or
    // written into `scratch` (head_dim floats).
    virtual const float* prepare_query(const HeadCache& head, const float* query, float* scratch) const = 0;
    // What the coded keys leave out, to leave out of a full-precision key
    // scored beside them in one softmax (nullptr: nothing).
    virtual const float* key_offset(const HeadCache& head) const = 0;
    // out = acc (the decoded weighted sum of values, head_dim floats) plus what
    // the coded values left out, for coded tokens of total weight
    // `coded_weight` (exactly 1 when every attended token is coded).
    virtual void finish(const HeadCache& head, const float* acc, float coded_weight, float* out) const = 0;
};

// The codec of an encoding.
const Codec& codec_of(Encoding encoding);

}  // namespace kelvor
