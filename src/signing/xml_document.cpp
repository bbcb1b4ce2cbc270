#include "signing/xml_document.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/valid.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <vector>

namespace quillmark {
namespace {

constexpr std::size_t kMaxPathSegments = 32;

struct ParserDeleter {
    void operator()(xmlParserCtxt* parser) const { xmlFreeParserCtxt(parser); }
};
using ParserPtr = std::unique_ptr<xmlParserCtxt, ParserDeleter>;

struct XmlTextDeleter {
    void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlTextPtr = std::unique_ptr<xmlChar, XmlTextDeleter>;

const xmlChar* xml(const char* text) {
    return reinterpret_cast<const xmlChar*>(text);
}

const char* text(const xmlChar* xmlText) {
    return reinterpret_cast<const char*>(xmlText);
}

// SAX's DOCTYPE callback: the parse stops there, before any entity or external subset it
// declares is read, and the flag the parser carries is set.
void refuseDoctype(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
    auto* parser = static_cast<xmlParserCtxt*>(context);
    *static_cast<bool*>(parser->_private) = true;
    xmlStopParser(parser);
}

std::string parseFailure(xmlParserCtxt* parser) {
    const xmlError* error = xmlCtxtGetLastError(parser);
    if (error == nullptr || error->message == nullptr) return "the document is not well-formed";
    std::string message = error->message;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    return message + " (line " + std::to_string(error->line) + ")";
}

bool holdsText(const xmlNode* element) {
    for (const xmlNode* child = element->children; child != nullptr; child = child->next) {
        if (child->type != XML_TEXT_NODE && child->type != XML_CDATA_SECTION_NODE) continue;
        if (!xmlIsBlankNode(child)) return true;
    }
    return false;
}

xmlNode* childNamed(xmlNode* parent, const std::string& name) {
    for (xmlNode* child = xmlFirstElementChild(parent); child != nullptr;
         child = xmlNextElementSibling(child)) {
        if (name == text(child->name)) return child;
    }
    return nullptr;
}

// The elements in document order, without recursion.
template <typename Visit>
bool everyElement(xmlNode* root, Visit visit) {
    xmlNode* node = root;
    while (node != nullptr) {
        if (!visit(node)) return false;
        if (xmlNode* child = xmlFirstElementChild(node)) {
            node = child;
            continue;
        }
        while (node != root && xmlNextElementSibling(node) == nullptr)
            node = node->parent;
        node = node == root ? nullptr : xmlNextElementSibling(node);
    }
    return true;
}

// Registers every `Id` attribute without a namespace; a value met twice is refused.
std::optional<XmlRefusal> registerIds(XmlDocument& document) {
    std::optional<XmlRefusal> refusal;
    everyElement(xmlDocGetRootElement(document.get()), [&](xmlNode* element) {
        xmlAttr* attribute = xmlHasNsProp(element, xml("Id"), nullptr);
        if (attribute == nullptr) return true;
        const XmlTextPtr value(xmlNodeListGetString(document.get(), attribute->children, 1));
        const std::string id = value ? text(value.get()) : "";
        if (document.addId(element, id)) return true;
        refusal = XmlRefusal{"the Id \"" + id + "\" appears more than once"};
        return false;
    });
    return refusal;
}

std::vector<std::string> pathSegments(std::string_view path) {
    std::vector<std::string> segments;
    std::size_t start = 1;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        segments.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return segments;
}

}  // namespace

std::variant<XmlDocument, XmlRefusal> XmlDocument::parse(const std::uint8_t* bytes,
                                                         std::size_t size) {
    if (size == 0) return XmlRefusal{"the document is empty"};
    if (size > INT_MAX) return XmlRefusal{"the document is too large"};
    ParserPtr parser(
        xmlCreateMemoryParserCtxt(reinterpret_cast<const char*>(bytes), static_cast<int>(size)));
    if (!parser) return XmlRefusal{"out of memory"};
    // No network, no DTD loaded, entities left as references, errors kept rather than printed.
    xmlCtxtUseOptions(parser.get(), XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    bool doctype = false;
    parser->_private = &doctype;
    parser->sax->internalSubset = refuseDoctype;
    xmlParseDocument(parser.get());
    XmlDocumentPtr parsed(parser->myDoc);
    parser->myDoc = nullptr;
    if (doctype) return XmlRefusal{"a DOCTYPE is not accepted"};
    if (!parser->wellFormed || !parsed) return XmlRefusal{parseFailure(parser.get())};
    if (xmlDocGetRootElement(parsed.get()) == nullptr)
        return XmlRefusal{"the document has no root element"};
    XmlDocument document(std::move(parsed));
    if (auto refusal = registerIds(document)) return *refusal;
    return document;
}

bool XmlDocument::hasId(const std::string& id) const {
    return xmlGetID(document_.get(), xml(id.c_str())) != nullptr;
}

bool XmlDocument::addId(xmlNode* element, const std::string& value) {
    if (hasId(value)) return false;
    xmlAttr* attribute = xmlHasNsProp(element, xml("Id"), nullptr);
    if (attribute == nullptr) attribute = xmlNewProp(element, xml("Id"), xml(value.c_str()));
    return attribute != nullptr &&
           xmlAddID(nullptr, document_.get(), xml(value.c_str()), attribute) != nullptr;
}

std::string XmlDocument::unusedId(const std::string& base) const {
    std::string id = base;
    for (int suffix = 2; hasId(id); ++suffix)
        id = base + "-" + std::to_string(suffix);
    return id;
}

std::variant<xmlNode*, XmlRefusal> XmlDocument::elementAt(std::string_view path) {
    const std::string quoted = "parentPath \"" + std::string(path) + "\"";
    if (path.empty() || path.front() != '/')
        return XmlRefusal{quoted + " is not an absolute path such as /HDon/DSCKS/NBan"};
    const std::vector<std::string> segments = pathSegments(path);
    if (segments.size() > kMaxPathSegments) return XmlRefusal{quoted + " is too long"};
    for (const std::string& segment : segments) {
        if (xmlValidateNCName(xml(segment.c_str()), 0) != 0)
            return XmlRefusal{quoted + " has \"" + segment + "\", which is not an element name"};
    }
    xmlNode* element = xmlDocGetRootElement(document_.get());
    if (segments.front() != text(element->name))
        return XmlRefusal{quoted + " does not start at the root element, " + text(element->name)};
    for (std::size_t i = 1; i < segments.size(); ++i) {
        if (holdsText(element))
            return XmlRefusal{quoted + " goes through " + text(element->name) +
                              ", which holds text"};
        xmlNode* child = childNamed(element, segments[i]);
        if (child == nullptr)
            child = xmlNewChild(element, element->ns, xml(segments[i].c_str()), nullptr);
        if (child == nullptr) return XmlRefusal{"out of memory"};
        element = child;
    }
    if (holdsText(element))
        return XmlRefusal{quoted + " ends at " + text(element->name) + ", which holds text"};
    return element;
}

OptionalBytes XmlDocument::serialised() const {
    xmlChar* memory = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(document_.get(), &memory, &size, "UTF-8");
    const XmlTextPtr owned(memory);
    if (!owned || size < 0) return std::nullopt;
    return Bytes(owned.get(), owned.get() + size);
}

}  // namespace quillmark
