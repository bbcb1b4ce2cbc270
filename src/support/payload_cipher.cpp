#include "support/payload_cipher.h"

#include <crypto++/aes.h>
#include <crypto++/filters.h>
#include <crypto++/modes.h>

#include "payload_key.h"

namespace quillmark {

namespace cpp = CryptoPP;

Bytes encryptPayload(const std::uint8_t* plain, std::size_t count) {
    cpp::CBC_Mode<cpp::AES>::Encryption cipher;
    cipher.SetKeyWithIV(kPayloadKey, sizeof kPayloadKey, kPayloadIv);

    Bytes encrypted((count / 16 + 1) * 16);
    cpp::StreamTransformationFilter filter(cipher,
                                           new cpp::ArraySink(encrypted.data(), encrypted.size()),
                                           cpp::BlockPaddingSchemeDef::PKCS_PADDING);
    filter.Put(plain, count);
    filter.MessageEnd();
    return encrypted;
}

std::optional<std::size_t> decryptPayloadInPlace(std::uint8_t* data, std::size_t count) {
    constexpr std::size_t kBlock = cpp::AES::BLOCKSIZE;
    if (count == 0 || count % kBlock != 0) return std::nullopt;
    cpp::CBC_Mode<cpp::AES>::Decryption cipher;
    cipher.SetKeyWithIV(kPayloadKey, sizeof kPayloadKey, kPayloadIv);
    cipher.ProcessData(data, data, count);  // CBC decryption keeps what it needs of the input

    const std::uint8_t pad = data[count - 1];
    if (pad == 0 || pad > kBlock) return std::nullopt;
    for (std::size_t i = count - pad; i < count; ++i) {
        if (data[i] != pad) return std::nullopt;
    }
    return count - pad;
}

OptionalBytes decryptPayload(const std::uint8_t* cipherText, std::size_t count) {
    Bytes plain(cipherText, cipherText + count);
    const auto length = decryptPayloadInPlace(plain.data(), plain.size());
    if (!length) return std::nullopt;
    plain.resize(*length);
    return plain;
}

}  // namespace quillmark
