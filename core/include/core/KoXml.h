// XML documents for job-state, configuration and message documents.
//
// Text in and out of this API is UTF-8. A document and every node taken from it belong to one
// thread at a time: the DOM underneath is not safe for concurrent use, not even for reading.
//
// Nodes share ownership of the document tree they point into, so a node stays usable after the
// CKoXDocument it came from is gone, or after that document has loaded another file.
//
// Paths and XPath:
// - GetNode(path) follows element names separated by "/" and takes the first match at each step;
//   "*" matches any element. On a document the first name is that of the root element
//   ("JobState/Jobs"); on a node the names start at its children.
// - SelectNodes(xpath) understands this subset, which is what our documents need:
//     "Jobs/Job", "./App/list", "/Root/Jobs/Job" (absolute), "//JobRef", "Jobs//Job", "*",
//     "." (the context itself), and attribute predicates on any step: "Job[@JobId]",
//     "Job[@JobId='5']", "Job[@JobId=\"5\"]", several in a row meaning "and".
//   Not understood (Win32 code 87): "..", other axes, functions, positions, unions.
//   Matches come in document order, each once.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/KoError.h"

// The length (1 to 4) of the UTF-8 sequence that starts `text` when it encodes one character an
// XML document can hold, else 0 (malformed or overlong UTF-8, surrogates, NUL and most controls).
// The character is left in `c`.
size_t XmlCharLength(std::string_view text, char32_t& c);

class CKoXNode;
class CKoXDom;
class CKoXDocumentPrivate;
using CKoXNodePtr = std::shared_ptr<CKoXNode>;

// One element of a document, and a cursor over its siblings (MoveNext, MoveNextSibling). Copies
// point at the same element and move independently. A node that was never found, that a cursor
// moved past the end, or that was removed from its document does not exist: getters on it fail
// with Win32 code 1168 (not found) and changes with code 6 (invalid handle).
class CKoXNode {
public:
    CKoXNode() = default;

    // True when the node is an element still attached to its document.
    bool Exists() const;

    std::string GetName() const;
    // The text of the element and all its descendants.
    std::string GetText() const;
    // Replaces the element's children with one text node.
    CKoError SetText(const std::string& text);

    // The first descendant along `path` (see above); a node that does not exist when there is none.
    CKoXNodePtr GetNode(const std::string& path) const;
    CKoXNodePtr GetParent() const;
    CKoError SelectNodes(const std::string& xpath, std::vector<CKoXNodePtr>& nodes) const;

    // Appends a new child element.
    CKoError AppendNode(const std::string& name, CKoXNodePtr& node);
    // Appends a deep copy of `source`, which may belong to another document.
    CKoError AppendNodeCopy(const CKoXNode& source, CKoXNodePtr& copy);
    // Removes this element (and what it holds) from the document; it no longer exists afterwards.
    // A cursor that walks siblings must step on before removing the node it stands on.
    CKoError RemoveNode();
    // Removes a child element of this one (Win32 code 87 when it is not a child).
    CKoError RemoveNode(CKoXNode& child);

    // Iteration over siblings; each answers whether the node still exists after the move.
    // MoveNext: to the next sibling element with the same name (a list of "Job" elements).
    bool MoveNext();
    // MoveNextSibling: to the next sibling element, whatever its name.
    bool MoveNextSibling();

    // Attributes, visited by index in name order (the order they are saved in, whatever the
    // order of the text they were loaded from).
    size_t GetAttributeCount() const;
    // Win32 code 259 (no more items) when `index` is past the last attribute.
    CKoError GetAttributeAt(size_t index, std::string& name, std::string& value) const;
    bool HasAttribute(const std::string& name) const;

    // Typed getters: a missing attribute is Win32 code 1168 (not found), a value that does not
    // parse is code 13 (invalid data); `value` is left alone on failure. Numbers are decimal or,
    // with "0x", hexadecimal, with an optional sign for the signed types and no other characters;
    // an out-of-range number does not parse. Booleans are "1"/"0" or "true"/"false" in any case.
    CKoError GetAttributeAsString(const std::string& name, std::string& value) const;
    CKoError GetAttributeAsINT(const std::string& name, int& value) const;
    CKoError GetAttributeAsUINT(const std::string& name, unsigned& value) const;
    CKoError GetAttributeAsLONGLONG(const std::string& name, long long& value) const;
    CKoError GetAttributeAsULONGLONG(const std::string& name, unsigned long long& value) const;
    CKoError GetAttributeAsBOOL(const std::string& name, bool& value) const;

    // Value forms: a missing attribute, or one that does not parse, reads as 0 (empty, false).
    std::string AttributeAsString(const std::string& name) const;
    int AttributeAsINT(const std::string& name) const;
    unsigned AttributeAsUINT(const std::string& name) const;
    long long AttributeAsLONGLONG(const std::string& name) const;
    unsigned long long AttributeAsULONGLONG(const std::string& name) const;
    bool AttributeAsBOOL(const std::string& name) const;

    // Setters add or replace. Numbers are written in decimal, booleans as "1" and "0". Text must
    // be valid UTF-8 without NUL or other characters XML cannot carry (Win32 code 87).
    CKoError SetAttributeString(const std::string& name, const std::string& value);
    CKoError SetAttributeINT(const std::string& name, int value);
    CKoError SetAttributeUINT(const std::string& name, unsigned value);
    CKoError SetAttributeLONGLONG(const std::string& name, long long value);
    CKoError SetAttributeULONGLONG(const std::string& name, unsigned long long value);
    CKoError SetAttributeBOOL(const std::string& name, bool value);
    // Removing an attribute that is not there succeeds.
    CKoError RemoveAttribute(const std::string& name);

private:
    friend class CKoXDocument;
    friend class CKoXNodeAccess;
    CKoXNode(std::shared_ptr<CKoXDom> dom, void* element) : m_dom(std::move(dom)), m_element(element) {}

    std::shared_ptr<CKoXDom> m_dom;  // keeps the tree alive
    void* m_element = nullptr;       // the DOM element; opaque outside the implementation
};

// A document: empty, or one root element. Copies of a CKoXDocument share it.
class CKoXDocument {
public:
    // Format flags of SaveAsString and SaveToFile; 0 is an indented document with its
    // declaration.
    static constexpr unsigned FORMAT_NO_DECLARATION = 4;  // leave out "<?xml ...?>"
    static constexpr unsigned FORMAT_COMPACT = 8;         // no indentation or line breaks

    CKoXDocument();
    virtual ~CKoXDocument();
    CKoXDocument(const CKoXDocument&) = default;
    CKoXDocument& operator=(const CKoXDocument&) = default;

    // Loading replaces the content; on failure the document is left empty. A missing file is
    // Win32 code 2, a file or string holding nothing but white space code 4306 (empty), text that
    // is not well-formed code 13 with the line and column. External entities are not loaded.
    CKoError LoadFromFile(const std::string& path);
    CKoError LoadFromString(const std::string& xml);

    // An empty document saves as an empty text (which loads back as code 4306).
    CKoError SaveAsString(std::string& xml, unsigned flags = 0) const;
    // Writes a temporary file next to `path` and renames it over `path`.
    CKoError SaveToFile(const std::string& path, unsigned flags = 0) const;

    bool IsEmpty() const;
    void Clear();

    CKoXNodePtr GetRootNode() const;
    CKoXNodePtr GetNode(const std::string& path) const;
    // Creates the root element; a document that already has one fails with Win32 code 183.
    CKoError AppendNode(const std::string& name, CKoXNodePtr& node);
    CKoError SelectNodes(const std::string& xpath, std::vector<CKoXNodePtr>& nodes) const;

private:
    std::shared_ptr<CKoXDocumentPrivate> m_p;
};
