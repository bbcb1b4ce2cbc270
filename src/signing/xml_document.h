#pragma once

#include <libxml/tree.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "support/bytes.h"

namespace quillmark {

struct XmlDocumentDeleter {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
using XmlDocumentPtr = std::unique_ptr<xmlDoc, XmlDocumentDeleter>;

// Why a document from a page is not signed, in words the page's author can act on.
struct XmlRefusal {
    std::string reason;
};

// A document a web page sent to be signed. It is parsed with nothing fetched and nothing read
// beyond its own bytes: a DOCTYPE stops the parse before any entity is declared, and the
// parser's own limits on nesting and text sizes hold. Its `Id` attributes (no namespace) are
// registered as IDs, each of which must be unique, so that `#id` references find them.
class XmlDocument {
  public:
    static std::variant<XmlDocument, XmlRefusal> parse(const std::uint8_t* bytes, std::size_t size);

    xmlDoc* get() const { return document_.get(); }
    bool hasId(const std::string& id) const;
    // Registers `value` as the `Id` of `element`; false when the document has it already.
    bool addId(xmlNode* element, const std::string& value);
    // `base`, or `base-2`, `base-3`, ... : the first that no element has as its `Id`.
    std::string unusedId(const std::string& base) const;

    // The element an absolute path of element names such as `/HDon/DSCKS/NBan` names, the
    // first child of each name along the way; missing elements are created, in their parent's
    // namespace. An element holding text cannot be gone through or be the end.
    std::variant<xmlNode*, XmlRefusal> elementAt(std::string_view path);

    // The document as UTF-8, declared so: the encoding it came in may be one that writes
    // markup no parser reads back (UTF-7), and canonical XML, which the signature covers, is
    // UTF-8 whatever the document's encoding.
    OptionalBytes serialised() const;

  private:
    explicit XmlDocument(XmlDocumentPtr document) : document_(std::move(document)) {}

    XmlDocumentPtr document_;
};

}  // namespace quillmark
