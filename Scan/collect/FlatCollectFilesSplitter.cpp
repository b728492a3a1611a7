#include "scan/collect/FlatCollectFilesSplitter.h"

#include <algorithm>

#include "core/LogWriter.h"
#include "scan/collect/CollectFilesInfo.h"

namespace {

class CPartNames : public IFlatCollectFileSplitCallback {
public:
    explicit CPartNames(std::string collect) : m_collect(std::move(collect)) {}
    std::string GetSplitFileName(int number) override { return CFlatCollectFilesSplitter::PartName(m_collect, number); }

private:
    std::string m_collect;
};

}  // namespace

CFlatCollectFilesSplitter::CFlatCollectFilesSplitter(std::shared_ptr<CCollectFilesInfo> description,
                                                     std::string descriptionPath, SOptions options)
    : m_description(std::move(description)), m_descriptionPath(std::move(descriptionPath)), m_options(options) {}

std::string CFlatCollectFilesSplitter::PartName(const std::string& collect, int number) {
    const size_t slash = collect.rfind('/');
    const size_t dot = collect.rfind('.');
    const size_t stem = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1) ? dot : collect.size();
    return collect.substr(0, stem) + "_" + std::to_string(number) + collect.substr(stem);
}

CKoError CFlatCollectFilesSplitter::SaveAndComplete(const std::vector<std::string>& split) {
    if (split.empty()) return CKoError::Success();
    CKoError e = m_description->SaveToFile(m_descriptionPath);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot save the collect-files description naming the parts");
    for (const std::string& collect : split) {
        e = FlatCollectFileSplit::Complete(collect);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}

CKoError CFlatCollectFilesSplitter::Recover() {
    std::vector<std::string> collects, split;
    m_description->GetAllCollects(collects);
    for (const std::string& collect : collects) {
        FlatCollectFileSplit::SRecovery found;
        CKoError e = FlatCollectFileSplit::Recover(collect, found);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (found.outcome != FlatCollectFileSplit::SPLIT) continue;
        e = FlatCollectFileSplit::ApplyToCollectFilesInfo(*m_description, collect, found.parts);
        if (e.IsError()) return e.Push(ZY_HERE);
        split.push_back(collect);
    }
    CKoError e = SaveAndComplete(split);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CFlatCollectFilesSplitter::SplitAll(const std::vector<std::string>& collects, std::vector<SResult>& results) {
    CKoError e = Recover();
    if (e.IsError()) return e.Push(ZY_HERE);
    results.clear();
    // A part the description cannot name would be a lost line: check first, change nothing.
    std::vector<std::string> named;
    m_description->GetAllCollects(named);
    for (const std::string& collect : collects)
        if (std::find(named.begin(), named.end(), collect) == named.end())
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND,
                                           "Collect file [%s] is not in the collect-files description", collect.c_str());
    std::vector<std::string> split;
    int number = 0;
    for (const std::string& collect : collects) {
        SResult result;
        result.collect = collect;
        std::pair<int, int> numbers{0, 0};
        FlatCollectFileSplit splitter(collect, ++number, 1, m_options.filesPerStream, m_options.flags, numbers,
                                      result.parts, std::make_shared<CPartNames>(collect));
        result.error = splitter.Run(m_options.readers);
        result.outcome = splitter.GetOutcome();
        if (result.outcome == FlatCollectFileSplit::PENDING) {
            results.push_back(std::move(result));
            return results.back().error.Copy().Push(ZY_HERE, "A split was left unfinished");
        }
        if (result.error.IsError()) {
            ZYLOG(-1, "Collect file [%s] stays whole: %s", collect.c_str(), result.error.AsString().c_str());
        } else if (result.outcome == FlatCollectFileSplit::SPLIT) {
            e = FlatCollectFileSplit::ApplyToCollectFilesInfo(*m_description, collect, result.parts);
            if (e.IsError()) return e.Push(ZY_HERE);
            split.push_back(collect);
        }
        results.push_back(std::move(result));
    }
    e = SaveAndComplete(split);
    if (e.IsError()) {
        // The parts stand but the description on disk still names their collect files alone, which
        // now hold only the first parts: finish now as the next attempt would, while we can.
        ZYLOG(-1, "Collect-files description not saved after the splits, finishing them again: %s", e.AsString().c_str());
        CKoError r = Recover();
        if (r.IsError()) return e.Push(ZY_HERE, "Splits left for the next attempt to finish");
    }
    return CKoError::Success();
}
