// A document from a page, as the XML signature path takes it in: parsed with its limits, its
// Ids registered, the signature template placed where the options say, and written out. The
// first byte chooses the options; the rest is the document. Whatever the input, a refusal or
// a document that parses again with the template in it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <variant>

#include "signing/xml_document.h"
#include "signing/xml_signature.h"

namespace {

const char* const kParentPaths[] = {"", "/HDon/DSCKS/NBan", "/HDon", "/a/b/c/d"};

quillmark::XmlSignatureOptions optionsOf(std::uint8_t choice) {
    quillmark::XmlSignatureOptions options;
    options.parentPath = kParentPaths[choice & 3];
    if (choice & 4) options.referenceId = "data";
    if (choice & 8) options.signatureId = "seller";
    options.signingTime = (choice & 16) == 0;
    options.exclusive = (choice & 32) != 0;
    return options;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    auto parsed = quillmark::XmlDocument::parse(data + 1, size - 1);
    auto* document = std::get_if<quillmark::XmlDocument>(&parsed);
    if (document == nullptr) return 0;
    const auto placed = quillmark::addSignatureTemplate(*document, optionsOf(data[0]),
                                                        quillmark::HashAlgorithm::Sha256, rsaKey);
    if (std::holds_alternative<quillmark::XmlRefusal>(placed)) return 0;
    const quillmark::OptionalBytes written = document->serialised();
    if (!written) std::abort();
    // What was written must parse again, as the page that gets it back will parse it.
    if (!std::holds_alternative<quillmark::XmlDocument>(
            quillmark::XmlDocument::parse(written->data(), written->size())))
        std::abort();
    return 0;
}
