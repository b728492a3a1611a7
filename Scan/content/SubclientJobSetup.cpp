#include "scan/content/SubclientJobSetup.h"

#include "agent/ApplicationId.h"
#include "agent/DaxMessages.h"
#include "core/StringUtil.h"
#include "scan/content/AutoStreamHandler.h"

CKoError CSubclientJobSetup::LoadSubclient(unsigned hubCellId, unsigned appId, const std::string& clientName,
                                           const std::string& jobResultsFolder, bool multiNode, int backupNodes) {
    CSubclientContentAPI api(jobResultsFolder);
    std::string xml;
    CKoError e = api.GetSubclientContentForJob(appId, hubCellId, clientName, xml, m_origin);
    if (e.IsError()) return e.Push(ZY_HERE);
    Dax::SubclientContentList list;
    e = list.ParseFromString(xml);
    if (e.IsError()) return e.Push(ZY_HERE);
    const std::string source = m_origin.fromLocalCopy ? std::string(CEffectiveFilters::kUserSource) + " (local copy)"
                                                      : std::string(CEffectiveFilters::kUserSource);
    for (const std::string& filter : list.filters) {
        e = m_filters.Add(filter, EFilterRuleKind::Filter, EFilterSyntax::Subclient, source);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    for (const std::string& exception : list.exceptions) {
        e = m_filters.Add(exception, EFilterRuleKind::Exception, EFilterSyntax::Subclient, source);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    m_content.insert(m_content.end(), list.content.begin(), list.content.end());
    m_fromSubclient = true;

    // Without the server the subclient cannot say what it is configured with.
    std::shared_ptr<Subclient> subclient;
    if (!m_origin.fromLocalCopy) {
        ApplicationId id(FXString::Format("%u:%u", hubCellId == 0 ? 2 : hubCellId, appId));
        if (id.getApplicationId().IsSuccess()) id.getSubclient(subclient).IgnoreError();
    }
    e = AutoStreamHandler::GetMaxNumberOfStreams(subclient.get(), m_readers.count, multiNode, backupNodes, 0, nullptr,
                                                 &m_readers.reason);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (m_origin.fromLocalCopy) m_readers.reason = "the server cannot be reached; " + m_readers.reason;
    return CKoError::Success();
}

CKoError CSubclientJobSetup::AddQuickFilter(const std::string& pattern) {
    CKoError e = m_filters.Add(pattern, EFilterRuleKind::Filter, EFilterSyntax::Quick, CEffectiveFilters::kCommandLineSource);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CSubclientJobSetup::AddQuickException(const std::string& pattern) {
    CKoError e =
        m_filters.Add(pattern, EFilterRuleKind::Exception, EFilterSyntax::Quick, CEffectiveFilters::kCommandLineSource);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CSubclientJobSetup::ChooseAutomaticReaders(bool multiNode, int backupNodes) {
    CKoError e = AutoStreamHandler::GetMaxNumberOfStreams(nullptr, m_readers.count, multiNode, backupNodes, 0, nullptr,
                                                          &m_readers.reason);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

void CSubclientJobSetup::Describe(std::vector<std::string>& lines) const {
    for (const std::string& path : m_content)
        lines.push_back("content    " + CEffectiveFilters::Printable(path));
    m_filters.Describe(lines);
    lines.push_back(FXString::Format("readers    %d  %s", m_readers.count, m_readers.reason.c_str()));
    if (!m_fromSubclient)
        lines.push_back("origin     command line");
    else if (m_origin.fromLocalCopy)
        lines.push_back("origin     local copy " + CEffectiveFilters::Printable(m_origin.localCopy) + " (" +
                        m_origin.reason + ")");
    else if (!m_origin.reason.empty())
        lines.push_back("origin     server (" + m_origin.reason + ")");
    else
        lines.push_back("origin     server");
}
