#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/formats/codebook.h"
#include "core/formats/encoding.h"
#include "core/heads/head_cache.h"
#include "core/kernels/kernels.h"
#include "core/heads/coded_tokens.h"

namespace kelvor {

// The tokens appended since init/reset, oldest first, at the append on which a
// head stops answering exactly: all in the window but, when the window is
// full, the newest, which is `key` and `val`.
struct AppendedTokens {
    const float* window;  // key then value floats per token
    int32_t in_window;
    int32_t count;
    int32_t head_dim;
    const float* key;
    const float* val;
    const float* key_of(int32_t i) const { return i < in_window ? window + 2 * static_cast<size_t>(i) * head_dim : key; }
    const float* val_of(int32_t i) const {
        return i < in_window ? window + (2 * static_cast<size_t>(i) + 1) * head_dim : val;
    }
};

// Everything that depends on how a head's vectors become codes: one codec per
// encoding, listed in codec.cpp. Append, attend and the saved state call the
// head's codec and never ask which encoding it is. Codecs are stateless; a
// head's own state (statistics) lives in its CodecState, which only its codec
// reads: the codec says how large it is, fixes it, and checks it when a saved
// state brings it.
class Codec {
public:
    virtual ~Codec() = default;
    virtual const char* name() const = 0;
    // The levels and thresholds that codes of this width refer to.
    virtual Codebook codebook(int32_t bits) const = 0;
    // head_dim-float arrays of a head's CodecState (saved with the head once
    // fixed, as they lie); 0 for a codec without statistics.
    virtual int32_t state_arrays() const = 0;
    // Empty when a fixed CodecState holds only what fixing it can; otherwise
    // what is wrong, as "has a non-finite fitted key mean at channel 3".
    virtual std::string state_error(const HeadCache& head) const = 0;
    // False while the head stores no codes yet (its window answers for it).
    virtual bool codes_ready(const HeadCache& head) const = 0;
    // n (at most kEncodeGroup) tokens' keys and values, token t at
    // keys + t * stride and appended as number first + t since init/reset,
    // into out's entry t at the head's two widths.
    virtual void encode_tokens(const KernelTable& kt, const HeadCache& head, int32_t n, int64_t first,
                               const float* keys, const float* vals, size_t stride, CodedTokens& out) const = 0;
    // Keys alone, or values alone, into out's entries: the codes and scales
    // encode_tokens gives them (key groups code a token's two vectors at
    // different appends).
    virtual void encode_keys(const KernelTable& kt, const HeadCache& head, int32_t n, const float* keys, size_t stride,
                             CodedTokens& out) const = 0;
    virtual void encode_values(const KernelTable& kt, const HeadCache& head, int32_t n, int64_t first,
                               const float* vals, size_t stride, CodedTokens& out) const = 0;
    // Called once, on the append after which a head whose codes were not ready
    // answers from its codes: fixes its statistics from those tokens. The head
    // then codes every token it holds.
    virtual void fix_stats(HeadCache& head, const AppendedTokens& tokens) const = 0;
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
// Its codec's name ("clip3", ...).
const char* encoding_name(Encoding e);

// What a head of that encoding and those widths takes from its codec.
HeadCodec head_codec(Encoding encoding, int32_t bits, int32_t val_bits);

}  // namespace kelvor
