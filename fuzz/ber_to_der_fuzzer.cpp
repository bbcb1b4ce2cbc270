// Re-encodes any bytes from BER to DER; a DER result must come back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "support/der_encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto der = quillmark::berToDer(data, size);
    if (der && quillmark::berToDer(*der) != der) std::abort();
    return 0;
}
