#include "core/codecs/encode_scratch.h"

#include <memory>

namespace kelvor {

EncodeScratch& encode_scratch() {
    // Heap-held: tens of kilobytes are too many for static TLS.
    thread_local std::unique_ptr<EncodeScratch> scratch = std::make_unique<EncodeScratch>();
    return *scratch;
}

}  // namespace kelvor
