#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillmark {

// Byte data moved between codecs, cipher and signing. A codec that fails returns
// std::nullopt, which stays distinct from an empty result.
using Bytes = std::vector<std::uint8_t>;
using OptionalBytes = std::optional<Bytes>;
using OptionalText = std::optional<std::string>;

}  // namespace quillmark
