#include "scan/trueup/TrueUpDirChangeItemDataImpl.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "core/KoXml.h"
#include "core/LogWriter.h"

CTrueUpDirChangeItemDataImpl::CTrueUpDirChangeItemDataImpl()
    : m_guid(), m_frequency(0), m_deleted(false), m_selectiveSync(false), m_addedToCollect(false),
      m_subclientFile(false), m_stub(false), m_aclOnly(false) {}

CTrueUpDirChangeItemDataImpl::CTrueUpDirChangeItemDataImpl(const std::vector<std::string>& fields)
    : CTrueUpDirChangeItemDataImpl() {
    ParseFields(fields).IgnoreError();
}

CTrueUpDirChangeItemDataImpl::CTrueUpDirChangeItemDataImpl(CTimeStamp lastWriteTime, CTimeStamp changeTime,
                                                           uint64_t size, bool addedToCollect, bool subclientFile)
    : CTrueUpDirChangeItemDataImpl() {
    m_lastWriteTime = lastWriteTime;
    m_changeTime = changeTime;
    m_size = size;
    m_addedToCollect = addedToCollect;
    m_subclientFile = subclientFile;
}

CTrueUpDirChangeItemDataImpl::CTrueUpDirChangeItemDataImpl(CTimeStamp lastWriteTime, CTimeStamp changeTime,
                                                           uint64_t size, bool addedToCollect, bool subclientFile,
                                                           int collectField, eDirChangeItemBackupFrequency frequency)
    : CTrueUpDirChangeItemDataImpl(lastWriteTime, changeTime, size, addedToCollect, subclientFile) {
    m_collectField = collectField;
    SetBackupFrequency(frequency);
}

CTrueUpDirChangeItemDataImpl::CTrueUpDirChangeItemDataImpl(CTimeStamp lastWriteTime, CTimeStamp changeTime,
                                                           uint64_t size, bool addedToCollect, bool subclientFile,
                                                           uint64_t fileId, eDirChangeItemBackupFrequency frequency)
    : CTrueUpDirChangeItemDataImpl(lastWriteTime, changeTime, size, addedToCollect, subclientFile) {
    m_fileId = fileId;
    SetBackupFrequency(frequency);
}

CTrueUpDirChangeItemDataImpl::CTrueUpDirChangeItemDataImpl(CTimeStamp lastWriteTime, CTimeStamp changeTime,
                                                           uint64_t size, bool addedToCollect, bool subclientFile,
                                                           uint64_t fileId, eDirChangeItemBackupFrequency frequency,
                                                           const std::string& guidText, bool stub)
    : CTrueUpDirChangeItemDataImpl(lastWriteTime, changeTime, size, addedToCollect, subclientFile, fileId, frequency) {
    SetGuidFromText(guidText);
    m_stub = stub;
}

CTrueUpDirChangeItemDataImpl::CTrueUpDirChangeItemDataImpl(CTimeStamp lastWriteTime, CTimeStamp changeTime,
                                                           uint64_t size, bool addedToCollect, bool subclientFile,
                                                           const std::string& guidText, bool stub)
    : CTrueUpDirChangeItemDataImpl(lastWriteTime, changeTime, size, addedToCollect, subclientFile) {
    SetGuidFromText(guidText);
    m_stub = stub;
}

CTrueUpDirChangeItemDataImpl::CTrueUpDirChangeItemDataImpl(CTimeStamp lastWriteTime, CTimeStamp changeTime,
                                                           uint64_t size, bool addedToCollect, bool subclientFile,
                                                           int collectField, eDirChangeItemBackupFrequency frequency,
                                                           uint64_t fileId, const std::string& guidText, bool stub,
                                                           bool aclOnly)
    : CTrueUpDirChangeItemDataImpl(lastWriteTime, changeTime, size, addedToCollect, subclientFile, collectField,
                                   frequency) {
    m_fileId = fileId;
    SetGuidFromText(guidText);
    m_stub = stub;
    m_aclOnly = aclOnly;
}

void CTrueUpDirChangeItemDataImpl::SetGuidFromText(const std::string& text) {
    std::string error;
    if (!TrueUpParseGuid(text, m_guid, error))
        ZYLOG_ERROR("Failed to convert string GUID, Guid=[%s], error=%s", text.c_str(), error.c_str());
}

// Written directly rather than through a document: the text is fixed apart from numbers and the
// GUID, none of which needs escaping, and a DirChange container holds one per item. The attributes
// come in name order, as a saved document has them, so both forms are the same text.
CKoError CTrueUpDirChangeItemDataImpl::AsXml(const CTrueUpDirChangeItemDataPtr& data, std::string& xml, bool isFolder) {
    if (!data)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No item data to write as XML");
    char buffer[512];
    int n = std::snprintf(buffer, sizeof buffer, "<Metadata><FileSystem ChangeTime=\"%" PRId64 "\"",
                          data->GetChangeTime().AsSystemTime());
    if (data->GetFileId() != 0)
        n += std::snprintf(buffer + n, sizeof buffer - n, " FileId=\"0x%016llX\"",
                           static_cast<unsigned long long>(data->GetFileId()));
    n += std::snprintf(buffer + n, sizeof buffer - n, " FileSize=\"%" PRIu64 "\"%s LastWriteTime=\"%" PRId64 "\"/>",
                       data->GetSize(), isFolder ? " Folder=\"1\"" : "", data->GetLastWriteTime().AsSystemTime());
    n += std::snprintf(buffer + n, sizeof buffer - n,
                       "<Derived CollectField=\"%d\" IsAclOnly=\"%d\" IsStub=\"%d\" IsSubclientFile=\"%d\" "
                       "StubDataGuid=\"%s\"/></Metadata>",
                       data->GetCollectField(), data->IsACLOnly() ? 1 : 0, data->GetIsStub() ? 1 : 0,
                       data->GetIsSubclientFile() ? 1 : 0, TrueUpGuidText(data->GetDataGuid()).c_str());
    xml.assign(buffer, static_cast<size_t>(n));
    return CKoError::Success();
}

namespace {

// Numbers as the attribute readers of the metadata take them: automatic base, as far as they go.
long long SignedNumber(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 0); }
unsigned long long UnsignedNumber(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 0); }

void ReadAttribute(const std::string& name, const std::string& value, CTrueUpDirChangeItemDataImpl& data) {
    {
        if (name == "LastWriteTime") {
            data.SetLastWriteTime(CTimeStamp::FromSystemTime(SignedNumber(value)));
        } else if (name == "ChangeTime") {
            data.SetChangeTime(CTimeStamp::FromSystemTime(SignedNumber(value)));
        } else if (name == "FileSize") {
            data.SetSize(UnsignedNumber(value));
        } else if (name == "FileId") {
            data.SetFileId(UnsignedNumber(value));
        } else if (name == "IsSubclientFile") {
            data.SetIsSubclientFile(SignedNumber(value) != 0);
        } else if (name == "CollectField") {
            data.SetCollectField(static_cast<int32_t>(static_cast<uint32_t>(SignedNumber(value))));
        } else if (name == "IsStub") {
            data.SetIsStub(value == "1");
        } else if (name == "IsAclOnly") {
            data.SetACLOnly(value == "1");
        } else if (name == "StubDataGuid") {
            boost::uuids::uuid guid;
            std::string error;
            if (!TrueUpParseGuid(value, guid, error))
                ZYLOG_ERROR("Failed to convert string GUID, Guid=[%s], error=%s", value.c_str(), error.c_str());
            data.SetDataGuid(guid);
        }
    }
}

void ReadAttributes(const CKoXNode& node, CTrueUpDirChangeItemDataImpl& data) {
    std::string name, value;
    for (size_t i = 0; node.GetAttributeAt(i, name, value).IsSuccess(); ++i) ReadAttribute(name, value, data);
}

// The plain form: "<Metadata>", elements "<Name a=\"v\" .../>" with one space before each
// attribute, "</Metadata>"; names of letters, values of letters, digits and "{}+-". A text of any
// other shape (declarations, white space, entities, nested or empty-tag pairs, a name twice in
// one element) is left to the document parser, so both read the same texts alike.
class CPlainMetadataReader {
public:
    explicit CPlainMetadataReader(std::string_view text) : m_text(text) {}

    // False when the text is not of the plain form; `data` is then untouched.
    bool Read(CTrueUpDirChangeItemDataImpl& data) {
        if (!Take("<Metadata>")) return false;
        struct Attribute {
            std::string_view name, value;
        };
        Attribute attributes[2][8];
        size_t counts[2] = {0, 0};
        bool seen[2] = {false, false};
        while (!Take("</Metadata>")) {
            if (!Take("<")) return false;
            const std::string_view element = Name();
            if (element.empty()) return false;
            const int slot = element == "FileSystem" ? 0 : element == "Derived" ? 1 : -1;
            // Only the first element of a name counts, as a document's first match does.
            const bool keep = slot >= 0 && !seen[slot];
            if (slot >= 0) seen[slot] = true;
            Attribute mine[8];
            size_t count = 0;
            while (Take(" ")) {
                const std::string_view name = Name();
                if (name.empty() || !Take("=\"")) return false;
                const std::string_view value = Value();
                if (!Take("\"")) return false;
                for (size_t i = 0; i < count; ++i)
                    if (mine[i].name == name) return false;  // not well-formed
                if (count == 8) return false;
                mine[count++] = {name, value};
            }
            if (!Take("/>")) return false;
            if (keep) {
                std::copy(mine, mine + count, attributes[slot]);
                counts[slot] = count;
            }
        }
        if (m_position != m_text.size()) return false;
        std::string name, value;
        for (int slot = 0; slot < 2; ++slot)
            for (size_t i = 0; i < counts[slot]; ++i) {
                name.assign(attributes[slot][i].name);
                value.assign(attributes[slot][i].value);
                ReadAttribute(name, value, data);
            }
        return true;
    }

private:
    bool Take(std::string_view what) {
        if (m_text.substr(m_position, what.size()) != what) return false;
        m_position += what.size();
        return true;
    }
    template <class Allowed>
    std::string_view Run(Allowed allowed) {
        const size_t start = m_position;
        while (m_position < m_text.size() && allowed(static_cast<unsigned char>(m_text[m_position]))) ++m_position;
        return m_text.substr(start, m_position - start);
    }
    std::string_view Name() {
        return Run([](unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
    }
    std::string_view Value() {
        return Run([](unsigned char c) {
            return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '{' || c == '}' ||
                   c == '+' || c == '-';
        });
    }

    std::string_view m_text;
    size_t m_position = 0;
};

}  // namespace

CKoError CTrueUpDirChangeItemDataImpl::FromXml(CTrueUpDirChangeItemDataImplPtr& data, const std::string& xml) {
    // A container holds one text per item: most are read without building a document.
    try {
        auto plain = std::make_shared<CTrueUpDirChangeItemDataImpl>();
        if (CPlainMetadataReader(xml).Read(*plain)) {
            data = std::move(plain);
            return CKoError::Success();
        }
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate the item data");
    }
    return FromXmlDocument(data, xml);
}

CKoError CTrueUpDirChangeItemDataImpl::FromXmlDocument(CTrueUpDirChangeItemDataImplPtr& data, const std::string& xml) {
    CKoXDocument document;
    CKoError e = document.LoadFromString(xml);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read the item metadata, Xml=[%s]", xml.c_str());
    CKoXNodePtr metadata = document.GetNode("Metadata");
    if (!metadata || !metadata->Exists())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No 'Metadata' node found, Xml=[%s]",
                                       xml.c_str());
    CTrueUpDirChangeItemDataImplPtr out;
    try {
        out = std::make_shared<CTrueUpDirChangeItemDataImpl>();
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate the item data");
    }
    // "State" (what a later collect decided) is accepted and carries nothing for the comparison.
    for (const char* element : {"FileSystem", "Derived"}) {
        CKoXNodePtr child = metadata->GetNode(element);
        if (child && child->Exists()) ReadAttributes(*child, *out);
    }
    data = std::move(out);
    return CKoError::Success();
}
