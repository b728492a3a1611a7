#include "scan/job/UnreadableItemList.h"

#include "agent/JobClient.h"
#include "core/Path.h"
#include "scan/job/BackupJob.h"
#include "scan/jobstate/JobFiles.h"
#include "scan/jobstate/ScanErrorFileHandler.h"

namespace {

// Takes the records instead of raising them.
class CCollectingJobClient : public ZYBkpJobClient {
public:
    std::vector<std::string> paths;

protected:
    CKoError RaisePendingCause(const ZYPendingCause& cause) override {
        if (cause.messageId == CBackupJob::kItemUnreadableMessageId && !cause.args.empty())
            paths.push_back(CUnreadableItemList::UnescapeArgument(cause.args[0]));
        return CKoError::Success();
    }
};

}  // namespace

CKoError CUnreadableItemList::Read(const std::string& folder, std::vector<std::string>& paths) {
    paths.clear();
    CScanErrorFileHandler file(folder);
    if (!CJobFiles::Exists(file.GetFilePath())) return CKoError::Success();
    CCollectingJobClient client;
    ZYJobStatus status = 1;
    CKoError e = file.ReadAndSendScanErrorJPR(status, &client);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read the items the backup could not read");
    paths = std::move(client.paths);
    return CKoError::Success();
}

std::string CUnreadableItemList::EscapeArgument(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '%')
            out += "%25";
        else if (c == '|')
            out += "%7C";
        else
            out += c;
    }
    return out;
}

std::string CUnreadableItemList::UnescapeArgument(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && text.compare(i, 3, "%25") == 0) {
            out += '%';
            i += 2;
        } else if (text[i] == '%' && (text.compare(i, 3, "%7C") == 0 || text.compare(i, 3, "%7c") == 0)) {
            out += '|';
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}
