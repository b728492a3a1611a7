#include "core/KoXml.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/XMLFormatter.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "core/Env.h"
#include "core/File.h"
#include "core/LogWriter.h"
#include "core/StringUtil.h"

using namespace xercesc;

namespace {

using XString = std::u16string;
static_assert(sizeof(XMLCh) == sizeof(char16_t), "XMLCh is expected to be UTF-16");

// ---------------------------------------------------------------------------------------------
// UTF-8 <-> UTF-16. Our own strict codec: no locale, and malformed input is refused instead of
// being replaced, so a value never changes silently on its way into a document.

bool IsXmlChar(char32_t c) {
    if (c < 0x20) return c == 0x9 || c == 0xA || c == 0xD;
    return (c < 0xD800) || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

}  // namespace

size_t XmlCharLength(std::string_view text, char32_t& c) {
    if (text.empty()) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char b = p[0];
    size_t n;
    if (b < 0x80) {
        c = b;
        return IsXmlChar(c) ? 1 : 0;
    } else if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        c = b & 0x07;
    } else {
        return 0;
    }
    if (text.size() < n) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (p[i] & 0x3F);
    }
    // Overlong forms and values past U+10FFFF.
    if ((n == 3 && c < 0x800) || (n == 4 && (c < 0x10000 || c > 0x10FFFF))) return 0;
    return IsXmlChar(c) ? n : 0;
}

namespace {

// Names and values on their way in. False for malformed UTF-8 and for characters XML cannot carry
// (NUL and most controls); callers report code 87.
bool ToXml(std::string_view in, XString& out) {
    out.clear();
    out.reserve(in.size());
    while (!in.empty()) {
        char32_t c = 0;
        const size_t n = XmlCharLength(in, c);
        if (n == 0) return false;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        in.remove_prefix(n);
    }
    return true;
}

// A lone surrogate (which the parser never produces) becomes U+FFFD.
std::string XmlToUtf8(const XMLCh* s) {
    std::string out;
    if (!s) return out;
    for (; *s; ++s) {
        char32_t c = *s;
        if (c >= 0xD800 && c <= 0xDBFF && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[1] - 0xDC00);
            ++s;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------

// Initialised once per process and never terminated: nodes may live until the process ends.
CKoError EnsureXerces() {
    static const std::string failure = []() -> std::string {
        try {
            XMLPlatformUtils::Initialize();
            return std::string();
        } catch (const XMLException& e) {
            std::string text = XmlToUtf8(e.getMessage());
            return text.empty() ? std::string("unknown error") : text;
        } catch (...) {
            return std::string("unknown error");
        }
    }();
    if (!failure.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INTERNAL_ERROR, "Cannot initialise the XML library, Error=[%s]",
                                       failure.c_str());
    return CKoError::Success();
}

// Turns the exception being handled into an error; call only from a catch block.
CKoError ErrorFromException(const FXCodeLocation& loc, const char* operation) {
    try {
        throw;
    } catch (const DOMException& e) {
        long code = (e.code == DOMException::INVALID_CHARACTER_ERR || e.code == DOMException::NAMESPACE_ERR)
                        ? ZyWin32::ERROR_INVALID_PARAMETER
                        : ZyWin32::ERROR_GENERAL_FAILURE;
        return FXErrorUtil::ErrorWin32(loc, code, "%s failed, DOMError=[%d], Message=[%s]", operation, static_cast<int>(e.code),
                                       XmlToUtf8(e.getMessage()).c_str());
    } catch (const OutOfMemoryException&) {
        return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_OUTOFMEMORY, "%s failed, out of memory", operation);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_OUTOFMEMORY, "%s failed, out of memory", operation);
    } catch (const XMLException& e) {
        return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_GENERAL_FAILURE, "%s failed, Message=[%s]", operation,
                                       XmlToUtf8(e.getMessage()).c_str());
    } catch (const std::exception& e) {
        return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_INTERNAL_ERROR, "%s failed, Message=[%s]", operation, e.what());
    } catch (...) {
        return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_INTERNAL_ERROR, "%s failed with an unknown exception", operation);
    }
}

CKoError InvalidText(const FXCodeLocation& loc, const char* what, const std::string& text) {
    return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_INVALID_PARAMETER,
                                   "%s is not valid UTF-8 or holds a character XML cannot carry, Length=[%zu]", what,
                                   text.size());
}

bool IsElement(const DOMNode* n) { return n && n->getNodeType() == DOMNode::ELEMENT_NODE; }

DOMElement* NextElement(DOMNode* n) {
    for (n = n ? n->getNextSibling() : nullptr; n; n = n->getNextSibling())
        if (IsElement(n)) return static_cast<DOMElement*>(n);
    return nullptr;
}

DOMElement* FirstChildElement(const DOMNode* parent, const XMLCh* name) {
    for (DOMNode* n = parent->getFirstChild(); n; n = n->getNextSibling())
        if (IsElement(n) && (!name || XMLString::equals(n->getNodeName(), name))) return static_cast<DOMElement*>(n);
    return nullptr;
}

bool IsWhiteSpace(const XMLCh* s) {
    for (; s && *s; ++s)
        if (*s != ' ' && *s != '\t' && *s != '\n' && *s != '\r') return false;
    return true;
}

// The indentation of a loaded file would pile up with the indentation added on every save, so
// white space between elements goes. Text of elements without element children stays as it is.
void StripIndentation(DOMNode* node) {
    std::vector<DOMNode*> pending{node};
    std::vector<DOMNode*> blanks;
    while (!pending.empty()) {
        DOMNode* n = pending.back();
        pending.pop_back();
        bool hasElementChild = false;
        blanks.clear();
        for (DOMNode* c = n->getFirstChild(); c; c = c->getNextSibling()) {
            if (IsElement(c)) {
                hasElementChild = true;
                pending.push_back(c);
            } else if (c->getNodeType() == DOMNode::TEXT_NODE && IsWhiteSpace(c->getNodeValue())) {
                blanks.push_back(c);
            }
        }
        if (!hasElementChild && n->getNodeType() != DOMNode::DOCUMENT_NODE) continue;
        for (DOMNode* b : blanks) n->removeChild(b)->release();
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------

// Owns one DOM tree; documents and nodes share it.
class CKoXDom {
public:
    explicit CKoXDom(DOMDocument* doc) : m_doc(doc) {}
    ~CKoXDom() { m_doc->release(); }
    CKoXDom(const CKoXDom&) = delete;
    CKoXDom& operator=(const CKoXDom&) = delete;
    DOMDocument* Doc() const { return m_doc; }

private:
    DOMDocument* m_doc;
};

class CKoXDocumentPrivate {
public:
    std::shared_ptr<CKoXDom> m_dom;  // null while the document is empty and was never built
};

// The implementation's way into a node.
class CKoXNodeAccess {
public:
    static DOMElement* Element(const CKoXNode& n) { return static_cast<DOMElement*>(n.m_element); }
    static const std::shared_ptr<CKoXDom>& Dom(const CKoXNode& n) { return n.m_dom; }
    static CKoXNodePtr Make(const std::shared_ptr<CKoXDom>& dom, DOMElement* e) {
        return CKoXNodePtr(new CKoXNode(e ? dom : nullptr, e));
    }
    static void Set(CKoXNode& n, DOMElement* e) {
        n.m_element = e;
        if (!e) n.m_dom.reset();
    }
};

namespace {

// ---------------------------------------------------------------------------------------------
// The XPath subset (see the header).

struct SXPathPredicate {
    XString attribute;
    bool hasValue = false;
    XString value;
};

struct SXPathStep {
    bool descendant = false;  // reached through "//" rather than "/"
    XString name;             // empty: any element
    std::vector<SXPathPredicate> predicates;
};

struct SXPath {
    bool absolute = false;
    bool self = false;  // "." alone
    std::vector<SXPathStep> steps;
};

// Characters of XML names; non-ASCII ones are let through whole (the DOM judges them).
bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.' ||
           c == ':' || static_cast<unsigned char>(c) >= 0x80;
}

CKoError XPathError(const FXCodeLocation& loc, const std::string& xpath, const char* why) {
    return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_INVALID_PARAMETER, "Unsupported XPath, XPath=[%s], Reason=[%s]",
                                   xpath.c_str(), why);
}

CKoError ParseXPath(const std::string& xpath, SXPath& out) {
    std::string_view s(xpath);
    size_t i = 0;
    bool descendant = false;
    if (s == ".") {
        out.self = true;
        return CKoError::Success();
    }
    if (s.substr(0, 2) == "//") {
        out.absolute = true;
        descendant = true;
        i = 2;
    } else if (s.substr(0, 1) == "/") {
        out.absolute = true;
        i = 1;
    } else if (s.substr(0, 3) == ".//") {
        descendant = true;
        i = 3;
    } else if (s.substr(0, 2) == "./") {
        i = 2;
    }
    for (;;) {
        SXPathStep step;
        step.descendant = descendant;
        size_t start = i;
        if (i < s.size() && s[i] == '*') {
            ++i;  // any element: step.name stays empty
        } else {
            while (i < s.size() && IsNameChar(s[i])) ++i;
        }
        std::string_view name = s.substr(start, i - start);
        if (name.empty()) return XPathError(ZY_HERE, xpath, "empty step");
        if (name == "." || name == "..") return XPathError(ZY_HERE, xpath, "'.' or '..' inside a path");
        if (name.find("::") != std::string_view::npos) return XPathError(ZY_HERE, xpath, "axes");
        if (name != "*" && !ToXml(name, step.name)) return XPathError(ZY_HERE, xpath, "invalid name");
        while (i < s.size() && s[i] == '[') {
            SXPathPredicate pred;
            if (++i >= s.size() || s[i] != '@') return XPathError(ZY_HERE, xpath, "only attribute predicates");
            start = ++i;
            while (i < s.size() && IsNameChar(s[i])) ++i;
            if (i == start || !ToXml(s.substr(start, i - start), pred.attribute))
                return XPathError(ZY_HERE, xpath, "attribute name");
            if (i < s.size() && s[i] == '=') {
                if (++i >= s.size() || (s[i] != '\'' && s[i] != '"')) return XPathError(ZY_HERE, xpath, "unquoted value");
                char quote = s[i++];
                size_t close = s.find(quote, i);
                if (close == std::string_view::npos) return XPathError(ZY_HERE, xpath, "unterminated value");
                if (!ToXml(s.substr(i, close - i), pred.value)) return XPathError(ZY_HERE, xpath, "invalid value");
                pred.hasValue = true;
                i = close + 1;
            }
            if (i >= s.size() || s[i] != ']') return XPathError(ZY_HERE, xpath, "unterminated predicate");
            ++i;
            step.predicates.push_back(std::move(pred));
        }
        out.steps.push_back(std::move(step));
        if (i == s.size()) return CKoError::Success();
        if (s[i] != '/') return XPathError(ZY_HERE, xpath, "unexpected character");
        descendant = s.substr(i, 2) == "//";
        i += descendant ? 2 : 1;
    }
}

bool StepMatches(const SXPathStep& step, const DOMElement* e) {
    if (!step.name.empty() && !XMLString::equals(e->getTagName(), step.name.c_str())) return false;
    for (const SXPathPredicate& p : step.predicates) {
        const DOMAttr* a = e->getAttributeNode(p.attribute.c_str());
        if (!a || (p.hasValue && !XMLString::equals(a->getValue(), p.value.c_str()))) return false;
    }
    return true;
}

// Does `e` match steps [0, i], with step 0 hanging off `context`? Matched from the last step
// upwards, so a walk of the tree in document order yields the matches in that order, once each.
bool PathMatches(const SXPath& x, size_t i, const DOMElement* e, const DOMNode* context) {
    const SXPathStep& step = x.steps[i];
    if (!StepMatches(step, e)) return false;
    const DOMNode* parent = e->getParentNode();
    if (i == 0) return step.descendant || parent == context;  // the walk only visits descendants of context
    if (!step.descendant)
        return parent != context && IsElement(parent) && PathMatches(x, i - 1, static_cast<const DOMElement*>(parent), context);
    for (const DOMNode* a = parent; a && a != context; a = a->getParentNode())
        if (IsElement(a) && PathMatches(x, i - 1, static_cast<const DOMElement*>(a), context)) return true;
    return false;
}

void Select(const SXPath& x, const std::shared_ptr<CKoXDom>& dom, DOMNode* context, std::vector<CKoXNodePtr>& nodes) {
    if (x.self) {
        if (IsElement(context)) nodes.push_back(CKoXNodeAccess::Make(dom, static_cast<DOMElement*>(context)));
        return;
    }
    bool anyDescendant = false;
    for (const SXPathStep& s : x.steps) anyDescendant |= s.descendant;
    // Without "//" a match lies exactly as deep as the number of steps: no need to go further.
    size_t maxDepth = anyDescendant ? SIZE_MAX : x.steps.size();
    struct SPending {
        DOMNode* node;
        size_t depth;
    };
    std::vector<SPending> stack;
    for (DOMNode* c = context->getLastChild(); c; c = c->getPreviousSibling())
        if (IsElement(c)) stack.push_back({c, 1});
    while (!stack.empty()) {
        SPending p = stack.back();
        stack.pop_back();
        auto* e = static_cast<DOMElement*>(p.node);
        if (PathMatches(x, x.steps.size() - 1, e, context)) nodes.push_back(CKoXNodeAccess::Make(dom, e));
        if (p.depth >= maxDepth) continue;
        for (DOMNode* c = e->getLastChild(); c; c = c->getPreviousSibling())
            if (IsElement(c)) stack.push_back({c, p.depth + 1});
    }
}

CKoError SelectFrom(const std::shared_ptr<CKoXDom>& dom, DOMNode* context, const std::string& xpath,
                    std::vector<CKoXNodePtr>& nodes) {
    nodes.clear();
    SXPath x;
    CKoError e = ParseXPath(xpath, x);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (!dom) return CKoError::Success();
    if (x.absolute) context = dom->Doc();
    try {
        Select(x, dom, context, nodes);
    } catch (...) {
        nodes.clear();
        return ErrorFromException(ZY_HERE, "SelectNodes");
    }
    return CKoError::Success();
}

// The first element along a "/"-separated path below `from`; "*" is any element.
DOMElement* FindPath(DOMNode* from, std::string_view path) {
    DOMNode* current = from;
    XString name;
    size_t pos = 0;
    while (current && pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string_view::npos) slash = path.size();
        std::string_view part = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "*") {
            current = FirstChildElement(current, nullptr);
        } else {
            if (!ToXml(part, name)) return nullptr;
            current = FirstChildElement(current, name.c_str());
        }
    }
    return current != from && IsElement(current) ? static_cast<DOMElement*>(current) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Parsing and serialising.

class CollectingErrorHandler : public ErrorHandler {
public:
    void warning(const SAXParseException&) override {}
    void error(const SAXParseException& e) override { Record(e); }
    void fatalError(const SAXParseException& e) override { Record(e); }
    void resetErrors() override {}

    bool m_failed = false;
    unsigned long long m_line = 0;
    unsigned long long m_column = 0;
    std::string m_message;

private:
    void Record(const SAXParseException& e) {
        if (m_failed) return;
        m_failed = true;
        m_line = e.getLineNumber();
        m_column = e.getColumnNumber();
        m_message = XmlToUtf8(e.getMessage());
    }
};

bool IsBlank(const std::string& s) {
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return false;
    return true;
}

CKoError Parse(const std::string& xml, const char* source, std::shared_ptr<CKoXDom>& out) {
    CKoError e = EnsureXerces();
    if (e.IsError()) return e.Push(ZY_HERE);
    if (IsBlank(xml)) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_EMPTY, "Empty document, Source=[%s]", source);
    try {
        XercesDOMParser parser;
        parser.setValidationScheme(XercesDOMParser::Val_Never);
        parser.setDoNamespaces(false);
        parser.setDoSchema(false);
        parser.setLoadExternalDTD(false);
        parser.setDisableDefaultEntityResolution(true);
        parser.setCreateEntityReferenceNodes(false);
        // Bounds entity expansion ("billion laughs").
        SecurityManager security;
        security.setEntityExpansionLimit(10000);
        parser.setSecurityManager(&security);
        CollectingErrorHandler handler;
        parser.setErrorHandler(&handler);
        MemBufInputSource input(reinterpret_cast<const XMLByte*>(xml.data()), xml.size(), source);
        parser.parse(input);
        if (handler.m_failed)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "Malformed XML, Source=[%s], Line=[%llu], Column=[%llu], Error=[%s]",
                                           source, handler.m_line, handler.m_column, handler.m_message.c_str());
        DOMDocument* doc = parser.adoptDocument();
        if (!doc) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "No document parsed, Source=[%s]", source);
        out = std::make_shared<CKoXDom>(doc);
        StripIndentation(doc);
        if (!doc->getDocumentElement())
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "No root element, Source=[%s]", source);
    } catch (...) {
        out.reset();
        return ErrorFromException(ZY_HERE, "Parse");
    }
    return CKoError::Success();
}

CKoError NewDom(std::shared_ptr<CKoXDom>& out) {
    CKoError e = EnsureXerces();
    if (e.IsError()) return e.Push(ZY_HERE);
    try {
        static const XMLCh kCore[] = u"Core";
        DOMImplementation* impl = DOMImplementationRegistry::getDOMImplementation(kCore);
        out = std::make_shared<CKoXDom>(impl->createDocument());
    } catch (...) {
        return ErrorFromException(ZY_HERE, "createDocument");
    }
    return CKoError::Success();
}

class StringTarget : public XMLFormatTarget {
public:
    explicit StringTarget(std::string& out) : m_out(out) {}
    void writeChars(const XMLByte* const toWrite, const XMLSize_t count, XMLFormatter* const) override {
        m_out.append(reinterpret_cast<const char*>(toWrite), count);
    }

private:
    std::string& m_out;
};

class SerializerErrors : public DOMErrorHandler {
public:
    bool handleError(const DOMError& error) override {
        if (error.getSeverity() == DOMError::DOM_SEVERITY_WARNING) return true;
        if (m_message.empty()) m_message = XmlToUtf8(error.getMessage());
        return false;
    }
    std::string m_message;
};

// Releases what Xerces hands out with release().
template <class T>
struct Releaser {
    void operator()(T* p) const {
        if (p) p->release();
    }
};
template <class T>
using XercesPtr = std::unique_ptr<T, Releaser<T>>;

CKoError Serialize(const DOMDocument* doc, unsigned flags, std::string& out) {
    out.clear();
    const DOMElement* root = doc ? doc->getDocumentElement() : nullptr;
    if (!root) return CKoError::Success();
    static const XMLCh kLS[] = u"LS";
    static const XMLCh kUtf8[] = u"UTF-8";
    static const XMLCh kNewLine[] = u"\n";
    const bool pretty = (flags & CKoXDocument::FORMAT_COMPACT) == 0;
    try {
        auto* impl = static_cast<DOMImplementationLS*>(DOMImplementationRegistry::getDOMImplementation(kLS));
        XercesPtr<DOMLSSerializer> serializer(impl->createLSSerializer());
        XercesPtr<DOMLSOutput> output(impl->createLSOutput());
        SerializerErrors errors;
        DOMConfiguration* config = serializer->getDomConfig();
        config->setParameter(XMLUni::fgDOMErrorHandler, &errors);
        config->setParameter(XMLUni::fgDOMXMLDeclaration, false);
        if (config->canSetParameter(XMLUni::fgDOMWRTFormatPrettyPrint, pretty))
            config->setParameter(XMLUni::fgDOMWRTFormatPrettyPrint, pretty);
        if (config->canSetParameter(XMLUni::fgDOMWRTXercesPrettyPrint, false))
            config->setParameter(XMLUni::fgDOMWRTXercesPrettyPrint, false);
        serializer->setNewLine(kNewLine);
        StringTarget target(out);
        output->setByteStream(&target);
        output->setEncoding(kUtf8);
        if (!serializer->write(root, output.get())) {
            out.clear();
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE, "Cannot serialise the document, Error=[%s]",
                                           errors.m_message.c_str());
        }
    } catch (...) {
        out.clear();
        return ErrorFromException(ZY_HERE, "Serialize");
    }
    // The serialiser frames the root element with line breaks; one at the end is enough.
    size_t first = out.find_first_not_of('\n');
    size_t last = out.find_last_not_of('\n');
    out = first == std::string::npos ? std::string() : out.substr(first, last - first + 1);
    if (pretty) out.push_back('\n');
    // The declaration is ours: the serialiser's carries a standalone="no" nobody needs.
    if ((flags & CKoXDocument::FORMAT_NO_DECLARATION) == 0)
        out.insert(0, pretty ? "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" : "<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------
// Attribute values.

template <class T>
bool ParseInteger(std::string_view text, T& value) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
        if (negative && std::is_unsigned_v<T>) return false;
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text[0] == '+' || text[0] == '-') return false;
    // Parsed as unsigned magnitude so that the most negative value fits.
    unsigned long long magnitude = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    if constexpr (std::is_unsigned_v<T>) {
        if (magnitude > std::numeric_limits<T>::max()) return false;
        value = static_cast<T>(magnitude);
    } else {
        using U = std::make_unsigned_t<T>;
        U limit = negative ? U(std::numeric_limits<T>::max()) + 1 : U(std::numeric_limits<T>::max());
        if (magnitude > limit) return false;
        value = negative ? static_cast<T>(0 - static_cast<U>(magnitude)) : static_cast<T>(magnitude);
    }
    return true;
}

bool ParseBool(std::string_view text, bool& value) {
    if (text == "1" || FXString::EqualsNoCase(text, "true")) {
        value = true;
        return true;
    }
    if (text == "0" || FXString::EqualsNoCase(text, "false")) {
        value = false;
        return true;
    }
    return false;
}

CKoError MissingNode(const FXCodeLocation& loc, const std::string& name) {
    return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_NOT_FOUND, "Node does not exist, Attribute=[%s]", name.c_str());
}

CKoError DeadNode(const FXCodeLocation& loc, const char* operation) {
    return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_INVALID_HANDLE, "%s on a node that does not exist", operation);
}

}  // namespace

// =============================================================================================
// CKoXNode

bool CKoXNode::Exists() const {
    const DOMNode* n = static_cast<const DOMElement*>(m_element);
    if (!n) return false;
    while (n->getParentNode()) n = n->getParentNode();
    return n->getNodeType() == DOMNode::DOCUMENT_NODE;
}

std::string CKoXNode::GetName() const {
    return Exists() ? XmlToUtf8(CKoXNodeAccess::Element(*this)->getTagName()) : std::string();
}

std::string CKoXNode::GetText() const {
    return Exists() ? XmlToUtf8(CKoXNodeAccess::Element(*this)->getTextContent()) : std::string();
}

CKoError CKoXNode::SetText(const std::string& text) {
    if (!Exists()) return DeadNode(ZY_HERE, "SetText");
    XString value;
    if (!ToXml(text, value)) return InvalidText(ZY_HERE, "Text", text);
    try {
        CKoXNodeAccess::Element(*this)->setTextContent(value.c_str());
    } catch (...) {
        return ErrorFromException(ZY_HERE, "SetText");
    }
    return CKoError::Success();
}

CKoXNodePtr CKoXNode::GetNode(const std::string& path) const {
    if (!Exists()) return std::make_shared<CKoXNode>();
    return CKoXNodeAccess::Make(m_dom, FindPath(CKoXNodeAccess::Element(*this), path));
}

CKoXNodePtr CKoXNode::GetParent() const {
    if (!Exists()) return std::make_shared<CKoXNode>();
    DOMNode* parent = CKoXNodeAccess::Element(*this)->getParentNode();
    return CKoXNodeAccess::Make(m_dom, IsElement(parent) ? static_cast<DOMElement*>(parent) : nullptr);
}

CKoError CKoXNode::SelectNodes(const std::string& xpath, std::vector<CKoXNodePtr>& nodes) const {
    if (!Exists()) {
        nodes.clear();
        return DeadNode(ZY_HERE, "SelectNodes");
    }
    CKoError e = SelectFrom(m_dom, CKoXNodeAccess::Element(*this), xpath, nodes);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CKoXNode::AppendNode(const std::string& name, CKoXNodePtr& node) {
    if (!Exists()) return DeadNode(ZY_HERE, "AppendNode");
    XString xname;
    if (!ToXml(name, xname)) return InvalidText(ZY_HERE, "Element name", name);
    try {
        DOMElement* parent = CKoXNodeAccess::Element(*this);
        DOMElement* child = parent->getOwnerDocument()->createElement(xname.c_str());
        parent->appendChild(child);
        node = CKoXNodeAccess::Make(m_dom, child);
    } catch (...) {
        return ErrorFromException(ZY_HERE, "AppendNode").Push(ZY_HERE, "Name=[%s]", name.c_str());
    }
    return CKoError::Success();
}

CKoError CKoXNode::AppendNodeCopy(const CKoXNode& source, CKoXNodePtr& copy) {
    if (!Exists()) return DeadNode(ZY_HERE, "AppendNodeCopy");
    const DOMElement* from = CKoXNodeAccess::Element(source);
    if (!from)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "The node to copy does not exist");
    try {
        DOMElement* parent = CKoXNodeAccess::Element(*this);
        // importNode copies within a document as well as across documents.
        DOMNode* imported = parent->getOwnerDocument()->importNode(from, true);
        parent->appendChild(imported);
        copy = CKoXNodeAccess::Make(m_dom, static_cast<DOMElement*>(imported));
    } catch (...) {
        return ErrorFromException(ZY_HERE, "AppendNodeCopy");
    }
    return CKoError::Success();
}

CKoError CKoXNode::RemoveNode() {
    if (!Exists()) return DeadNode(ZY_HERE, "RemoveNode");
    // The removed subtree is not released: other handles may still point into it. Its memory
    // returns with the document.
    try {
        DOMElement* e = CKoXNodeAccess::Element(*this);
        e->getParentNode()->removeChild(e);
    } catch (...) {
        return ErrorFromException(ZY_HERE, "RemoveNode");
    }
    CKoXNodeAccess::Set(*this, nullptr);
    return CKoError::Success();
}

CKoError CKoXNode::RemoveNode(CKoXNode& child) {
    if (!Exists()) return DeadNode(ZY_HERE, "RemoveNode");
    if (!child.Exists() || CKoXNodeAccess::Element(child)->getParentNode() != CKoXNodeAccess::Element(*this))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "Not a child of this node, Parent=[%s], Child=[%s]",
                                       GetName().c_str(), child.GetName().c_str());
    CKoError e = child.RemoveNode();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

bool CKoXNode::MoveNext() {
    DOMElement* e = CKoXNodeAccess::Element(*this);
    if (!e) return false;
    const XMLCh* name = e->getTagName();
    DOMElement* next = NextElement(e);
    while (next && !XMLString::equals(next->getTagName(), name)) next = NextElement(next);
    CKoXNodeAccess::Set(*this, next);
    return Exists();
}

bool CKoXNode::MoveNextSibling() {
    DOMElement* e = CKoXNodeAccess::Element(*this);
    if (!e) return false;
    CKoXNodeAccess::Set(*this, NextElement(e));
    return Exists();
}

size_t CKoXNode::GetAttributeCount() const {
    if (!Exists()) return 0;
    const DOMNamedNodeMap* attributes = CKoXNodeAccess::Element(*this)->getAttributes();
    return attributes ? attributes->getLength() : 0;
}

CKoError CKoXNode::GetAttributeAt(size_t index, std::string& name, std::string& value) const {
    if (!Exists()) return MissingNode(ZY_HERE, FXString::Format("#%zu", index));
    const DOMNamedNodeMap* attributes = CKoXNodeAccess::Element(*this)->getAttributes();
    const DOMNode* a = attributes && index < attributes->getLength() ? attributes->item(index) : nullptr;
    if (!a) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NO_MORE_ITEMS);
    name = XmlToUtf8(a->getNodeName());
    value = XmlToUtf8(a->getNodeValue());
    return CKoError::Success();
}

bool CKoXNode::HasAttribute(const std::string& name) const {
    XString xname;
    return Exists() && ToXml(name, xname) && CKoXNodeAccess::Element(*this)->getAttributeNode(xname.c_str()) != nullptr;
}

CKoError CKoXNode::GetAttributeAsString(const std::string& name, std::string& value) const {
    if (!Exists()) return MissingNode(ZY_HERE, name);
    XString xname;
    const DOMAttr* a = ToXml(name, xname) ? CKoXNodeAccess::Element(*this)->getAttributeNode(xname.c_str()) : nullptr;
    if (!a)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Attribute not found, Node=[%s], Attribute=[%s]",
                                       GetName().c_str(), name.c_str());
    value = XmlToUtf8(a->getValue());
    return CKoError::Success();
}

namespace {
template <class T>
CKoError GetNumber(const CKoXNode& node, const std::string& name, T& value, const char* type) {
    std::string text;
    CKoError e = node.GetAttributeAsString(name, text);
    if (e.IsError()) return e;
    if (!ParseInteger(text, value))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "Attribute is not a valid %s, Node=[%s], Attribute=[%s], Value=[%s]",
                                       type, node.GetName().c_str(), name.c_str(), text.c_str());
    return CKoError::Success();
}
}  // namespace

CKoError CKoXNode::GetAttributeAsINT(const std::string& name, int& value) const {
    CKoError e = GetNumber(*this, name, value, "INT");
    if (e.IsError()) return e.Push(ZY_HERE);
    return e;
}
CKoError CKoXNode::GetAttributeAsUINT(const std::string& name, unsigned& value) const {
    CKoError e = GetNumber(*this, name, value, "UINT");
    if (e.IsError()) return e.Push(ZY_HERE);
    return e;
}
CKoError CKoXNode::GetAttributeAsLONGLONG(const std::string& name, long long& value) const {
    CKoError e = GetNumber(*this, name, value, "LONGLONG");
    if (e.IsError()) return e.Push(ZY_HERE);
    return e;
}
CKoError CKoXNode::GetAttributeAsULONGLONG(const std::string& name, unsigned long long& value) const {
    CKoError e = GetNumber(*this, name, value, "ULONGLONG");
    if (e.IsError()) return e.Push(ZY_HERE);
    return e;
}

CKoError CKoXNode::GetAttributeAsBOOL(const std::string& name, bool& value) const {
    std::string text;
    CKoError e = GetAttributeAsString(name, text);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (!ParseBool(text, value))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "Attribute is not a valid BOOL, Node=[%s], Attribute=[%s], Value=[%s]",
                                       GetName().c_str(), name.c_str(), text.c_str());
    return CKoError::Success();
}

std::string CKoXNode::AttributeAsString(const std::string& name) const {
    std::string value;
    GetAttributeAsString(name, value).IgnoreError();
    return value;
}

namespace {
template <class T>
T ValueOr0(const CKoXNode& node, const std::string& name) {
    T value = 0;
    std::string text;
    if (node.GetAttributeAsString(name, text).IsSuccess() && !ParseInteger(text, value)) value = 0;
    return value;
}
}  // namespace

int CKoXNode::AttributeAsINT(const std::string& name) const { return ValueOr0<int>(*this, name); }
unsigned CKoXNode::AttributeAsUINT(const std::string& name) const { return ValueOr0<unsigned>(*this, name); }
long long CKoXNode::AttributeAsLONGLONG(const std::string& name) const { return ValueOr0<long long>(*this, name); }
unsigned long long CKoXNode::AttributeAsULONGLONG(const std::string& name) const {
    return ValueOr0<unsigned long long>(*this, name);
}
bool CKoXNode::AttributeAsBOOL(const std::string& name) const {
    bool value = false;
    if (GetAttributeAsBOOL(name, value).IsError()) value = false;
    return value;
}

CKoError CKoXNode::SetAttributeString(const std::string& name, const std::string& value) {
    if (!Exists()) return DeadNode(ZY_HERE, "SetAttribute");
    XString xname, xvalue;
    if (!ToXml(name, xname)) return InvalidText(ZY_HERE, "Attribute name", name);
    if (!ToXml(value, xvalue))
        return InvalidText(ZY_HERE, "Attribute value", value).Push(ZY_HERE, "Attribute=[%s]", name.c_str());
    try {
        CKoXNodeAccess::Element(*this)->setAttribute(xname.c_str(), xvalue.c_str());
    } catch (...) {
        return ErrorFromException(ZY_HERE, "SetAttribute").Push(ZY_HERE, "Attribute=[%s]", name.c_str());
    }
    return CKoError::Success();
}

CKoError CKoXNode::SetAttributeINT(const std::string& name, int value) {
    return SetAttributeString(name, std::to_string(value));
}
CKoError CKoXNode::SetAttributeUINT(const std::string& name, unsigned value) {
    return SetAttributeString(name, std::to_string(value));
}
CKoError CKoXNode::SetAttributeLONGLONG(const std::string& name, long long value) {
    return SetAttributeString(name, std::to_string(value));
}
CKoError CKoXNode::SetAttributeULONGLONG(const std::string& name, unsigned long long value) {
    return SetAttributeString(name, std::to_string(value));
}
CKoError CKoXNode::SetAttributeBOOL(const std::string& name, bool value) { return SetAttributeString(name, value ? "1" : "0"); }

CKoError CKoXNode::RemoveAttribute(const std::string& name) {
    if (!Exists()) return DeadNode(ZY_HERE, "RemoveAttribute");
    XString xname;
    if (!ToXml(name, xname)) return InvalidText(ZY_HERE, "Attribute name", name);
    try {
        CKoXNodeAccess::Element(*this)->removeAttribute(xname.c_str());
    } catch (...) {
        return ErrorFromException(ZY_HERE, "RemoveAttribute").Push(ZY_HERE, "Attribute=[%s]", name.c_str());
    }
    return CKoError::Success();
}

// =============================================================================================
// CKoXDocument

CKoXDocument::CKoXDocument() : m_p(std::make_shared<CKoXDocumentPrivate>()) {}
CKoXDocument::~CKoXDocument() = default;

bool CKoXDocument::IsEmpty() const { return !m_p->m_dom || !m_p->m_dom->Doc()->getDocumentElement(); }

void CKoXDocument::Clear() { m_p->m_dom.reset(); }

CKoError CKoXDocument::LoadFromString(const std::string& xml) {
    m_p->m_dom.reset();
    std::shared_ptr<CKoXDom> dom;
    CKoError e = Parse(xml, "string", dom);
    if (e.IsError()) return e.Push(ZY_HERE);
    m_p->m_dom = std::move(dom);
    return CKoError::Success();
}

CKoError CKoXDocument::LoadFromFile(const std::string& path) {
    m_p->m_dom.reset();
    std::string xml;
    CKoError e = FXFile::ReadWholeFile(path, xml);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "File not found, FileName=[%s]", path.c_str());
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read XML file, FileName=[%s]", path.c_str());
    std::shared_ptr<CKoXDom> dom;
    e = Parse(xml, path.c_str(), dom);
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", path.c_str());
    m_p->m_dom = std::move(dom);
    return CKoError::Success();
}

CKoError CKoXDocument::SaveAsString(std::string& xml, unsigned flags) const {
    CKoError e = Serialize(m_p->m_dom ? m_p->m_dom->Doc() : nullptr, flags, xml);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CKoXDocument::SaveToFile(const std::string& path, unsigned flags) const {
    std::string xml;
    CKoError e = SaveAsString(xml, flags);
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", path.c_str());
    e = FXDurableReplace::WriteWhole(path, xml);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write XML file, FileName=[%s]", path.c_str());
    return CKoError::Success();
}

CKoXNodePtr CKoXDocument::GetRootNode() const {
    if (!m_p->m_dom) return std::make_shared<CKoXNode>();
    return CKoXNodeAccess::Make(m_p->m_dom, m_p->m_dom->Doc()->getDocumentElement());
}

CKoXNodePtr CKoXDocument::GetNode(const std::string& path) const {
    if (!m_p->m_dom) return std::make_shared<CKoXNode>();
    return CKoXNodeAccess::Make(m_p->m_dom, FindPath(m_p->m_dom->Doc(), path));
}

CKoError CKoXDocument::AppendNode(const std::string& name, CKoXNodePtr& node) {
    if (!IsEmpty()) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_ALREADY_EXISTS,
                                       "The document already has a root element, Root=[%s], Name=[%s]",
                                       GetRootNode()->GetName().c_str(), name.c_str());
    }
    XString xname;
    if (!ToXml(name, xname)) return InvalidText(ZY_HERE, "Element name", name);
    if (!m_p->m_dom) {
        CKoError e = NewDom(m_p->m_dom);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    try {
        DOMDocument* doc = m_p->m_dom->Doc();
        DOMElement* root = doc->createElement(xname.c_str());
        doc->appendChild(root);
        node = CKoXNodeAccess::Make(m_p->m_dom, root);
    } catch (...) {
        return ErrorFromException(ZY_HERE, "AppendNode").Push(ZY_HERE, "Name=[%s]", name.c_str());
    }
    return CKoError::Success();
}

CKoError CKoXDocument::SelectNodes(const std::string& xpath, std::vector<CKoXNodePtr>& nodes) const {
    CKoError e = SelectFrom(m_p->m_dom, m_p->m_dom ? m_p->m_dom->Doc() : nullptr, xpath, nodes);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}
