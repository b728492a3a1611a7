#include "scan/content/AutoStreamHandler.h"

#include "agent/ApplicationId.h"
#include "core/LogWriter.h"
#include "core/StringUtil.h"

namespace {

void Explain(std::string* reason, const std::string& line) {
    ZYLOG(1, "%s", line.c_str());
    if (reason) *reason = line;
}

}  // namespace

CKoError AutoStreamHandler::GetMaxNumberOfStreams(Subclient* subclient, int& streams, bool multiNode, int backupNodes,
                                                  unsigned long unused, AutoStreamHandler* override,
                                                  std::string* reason) {
    AutoStreamHandler defaultHandler;
    AutoStreamHandler* handler = override ? override : &defaultHandler;
    CKoError e = handler->GetMaxNumberOfStreamsInternal(subclient, streams, multiNode, backupNodes, unused, reason);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError AutoStreamHandler::GetMaxNumberOfStreamsInternal(Subclient* subclient, int& streams, bool multiNode,
                                                          int backupNodes, unsigned long /*unused*/,
                                                          std::string* reason) {
    streams = 0;
    int configured = 0;
    if (subclient) {
        CKoError e = subclient->getNumberOfStreams(configured);
        if (e.IsError() || configured < 0) {
            ZYLOG(1, "Unable to get NumberOfStreams. Automatic optimal Data Reader calculation will be done");
            configured = 0;
        }
    } else {
        ZYLOG(1, "Subclient is NULL. Automatic optimal Data Reader calculation will be done");
    }
    if (configured > 0) {
        streams = configured;
        Explain(reason, FXString::Format("Number of Data Readers configured in subclient: %d", streams));
    } else if (!multiNode) {
        streams = kDefaultStreams;
        Explain(reason, FXString::Format("Optimal number of Data Readers: %d", streams));
    } else if (backupNodes > 0) {
        streams = kDefaultStreams * backupNodes;
        Explain(reason, FXString::Format("Backup nodes: %d, Optimal number of Data Readers: %d", backupNodes, streams));
    } else {
        streams = kDefaultStreams;
        Explain(reason, FXString::Format("Backup nodes count is zero. Using default value of %d streams.", streams));
    }
    return CKoError::Success();
}
