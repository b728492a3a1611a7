// XML documents (job state, configuration, messages) of arbitrary bytes through the document
// loader, and the loaded tree through the readers the documents' users call.
//
// Any bytes load or fail cleanly. A document that loads saves as text that loads back; saved
// compact, it saves the same again.
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "core/KoXml.h"

namespace {

// Visits every element and attribute, through the getters and the path and XPath look-ups.
void Walk(const CKoXNode& node, int depth, size_t& visited) {
    if (depth > 64 || ++visited > 2000) return;
    FUZZ_CHECK(node.Exists());
    const std::string name = node.GetName();
    (void)node.GetText();
    for (size_t i = 0;; ++i) {
        std::string key, value;
        CKoError e = node.GetAttributeAt(i, key, value);
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NO_MORE_ITEMS)) break;
        FUZZ_CHECK(e.IsSuccess() && node.HasAttribute(key));
        std::string copy;
        FUZZ_CHECK(node.GetAttributeAsString(key, copy).IsSuccess() && copy == value);
        long long number = 0;
        bool flag = false;
        node.GetAttributeAsLONGLONG(key, number).IgnoreError();
        node.GetAttributeAsBOOL(key, flag).IgnoreError();
        (void)node.AttributeAsULONGLONG(key);
        (void)node.AttributeAsINT(key);
    }
    std::vector<CKoXNodePtr> children;
    FUZZ_CHECK(node.SelectNodes("*", children).IsSuccess());
    for (const CKoXNodePtr& child : children) Walk(*child, depth + 1, visited);
    if (!name.empty()) {
        std::vector<CKoXNodePtr> found;
        node.SelectNodes(".//" + name, found).IgnoreError();
        node.SelectNodes("*[@id]", found).IgnoreError();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Setup();
    CKoXDocument doc;
    if (doc.LoadFromString(std::string(reinterpret_cast<const char*>(data), size)).IsError()) {
        FUZZ_CHECK(doc.IsEmpty());
        return 0;
    }
    CKoXNodePtr root = doc.GetRootNode();
    FUZZ_CHECK(root && root->Exists());
    size_t visited = 0;
    Walk(*root, 0, visited);
    std::vector<CKoXNodePtr> all;
    doc.SelectNodes("//*", all).IgnoreError();

    // The compact form is exact. The indented form (for people) adds line breaks around the
    // children of an element that also holds text, so mixed content grows with every save; it
    // only has to load back.
    std::string indented;
    FUZZ_CHECK(doc.SaveAsString(indented).IsSuccess());
    FUZZ_CHECK(CKoXDocument().LoadFromString(indented).IsSuccess());
    const unsigned compact = CKoXDocument::FORMAT_NO_DECLARATION | CKoXDocument::FORMAT_COMPACT;
    std::string saved;
    FUZZ_CHECK(doc.SaveAsString(saved, compact).IsSuccess());
    CKoXDocument again;
    FUZZ_CHECK(again.LoadFromString(saved).IsSuccess());
    std::string resaved;
    FUZZ_CHECK(again.SaveAsString(resaved, compact).IsSuccess());
    FUZZ_CHECK(resaved == saved);
    return 0;
}
