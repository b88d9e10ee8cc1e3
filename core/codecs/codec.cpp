// The codec of every encoding, in the order of their numbers.
#include "core/codecs/codec.h"

namespace kelvor {

const Codec& clip3_codec();
const Codec& fitted_codec();

const Codec& codec_of(Encoding encoding) {
    static const Codec* const codecs[kEncodingCount] = {&clip3_codec(), &fitted_codec()};
    return *codecs[static_cast<int32_t>(encoding)];
}

HeadCodec head_codec(Encoding encoding, int32_t bits, int32_t val_bits) {
    const Codec& codec = codec_of(encoding);
    return HeadCodec{&codec, codec.codebook(bits), codec.codebook(val_bits), codec.state_arrays()};
}

const char* encoding_name(Encoding e) { return codec_of(e).name(); }

}  // namespace kelvor
