// Names for the decoder's own temporary files (cache files, outputs being written) that no other
// call, thread or process picks at the same time.
#pragma once

#include <string>

namespace sevenzip {

// "<process id>-<per-process counter>-<16 hex digits of randomness>". Thread: any; every call
// returns a new token.
std::string uniqueToken();

}  // namespace sevenzip
