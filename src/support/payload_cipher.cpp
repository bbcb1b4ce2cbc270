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

OptionalBytes decryptPayload(const std::uint8_t* cipherText, std::size_t count) {
    try {
        cpp::CBC_Mode<cpp::AES>::Decryption cipher;
        cipher.SetKeyWithIV(kPayloadKey, sizeof kPayloadKey, kPayloadIv);

        Bytes plain(count);
        cpp::ArraySink sink(plain.data(), plain.size());
        cpp::StreamTransformationFilter filter(cipher, new cpp::Redirector(sink),
                                               cpp::BlockPaddingSchemeDef::PKCS_PADDING);
        filter.Put(cipherText, count);
        filter.MessageEnd();
        plain.resize(static_cast<std::size_t>(sink.TotalPutLength()));
        return plain;
    } catch (const cpp::Exception&) {
        return std::nullopt;
    }
}

}  // namespace quillmark
