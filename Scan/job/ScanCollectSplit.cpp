#include "scan/job/ScanCollectSplit.h"

#include <map>
#include <memory>

#include "core/LogWriter.h"
#include "scan/collect/FlatCollectFileSplit.h"
#include "scan/collect/FlatCollectFilesSplitter.h"

namespace {

// Names each new part after the collect file and writes it under its temporary name.
class CPartNames : public IFlatCollectFileSplitCallback {
public:
    CPartNames(const std::string& name, const std::function<std::string(const std::string&)>& tempOf)
        : m_name(name), m_tempOf(tempOf) {}
    std::string GetSplitFileName(int number) override {
        std::string partName = CFlatCollectFilesSplitter::PartName(m_name, number);
        std::string path = m_tempOf(partName);
        m_names[path] = partName;
        return path;
    }
    const std::string* NameOf(const std::string& path) const {
        auto it = m_names.find(path);
        return it == m_names.end() ? nullptr : &it->second;
    }

private:
    const std::string& m_name;
    const std::function<std::string(const std::string&)>& m_tempOf;
    std::map<std::string, std::string> m_names;  // path -> name
};

}  // namespace

std::vector<std::string> CScanCollectSplit::Leftovers(const std::string& path) {
    return {FlatCollectFileSplit::TempPath(path), FlatCollectFileSplit::RecordPath(path), path + "_keys",
            path + "_sorted"};
}

CKoError CScanCollectSplit::Split(const std::string& name, const std::string& path, int collectNumber, int readers,
                                  const std::function<std::string(const std::string&)>& tempOf, SResult& result) {
    result = SResult();
    result.parts.push_back(SPart{name, path});
    if (readers <= 1) {
        result.report = "not split: one reader";
        return CKoError::Success();
    }
    auto names = std::make_shared<CPartNames>(name, tempOf);
    std::pair<int, int> numbers{0, 0};
    std::vector<SplitFileInfo> parts;
    FlatCollectFileSplit split(path, collectNumber, 1, 1, FlatCollectFileSplit::SPLIT_BY_SIZE, numbers, parts, names);
    CKoError e = split.Run(readers);
    switch (split.GetOutcome()) {
    case FlatCollectFileSplit::PENDING:
        return e.Push(ZY_HERE, "The split of collect file [%s] could not be rolled back", name.c_str());
    case FlatCollectFileSplit::SPLIT:
        break;
    default:
        result.report = e.IsError() ? "not split, the collect file stays whole: " + e.GetMessage()
                                    : "not split: too small for " + std::to_string(readers) + " readers";
        if (e.IsError()) ZYLOG(-1, "Collect file [%s] stays whole, error=%s", name.c_str(), e.AsString().c_str());
        return CKoError::Success();
    }
    // The parts stand; the split's record goes (its "_temp" too): nothing needs it any more.
    e = FlatCollectFileSplit::Complete(path);
    if (e.IsError()) ZYLOG(-1, "Cannot remove the split record of [%s], error=%s", path.c_str(), e.AsString().c_str());
    result.parts.clear();
    for (const SplitFileInfo& part : parts) {
        const std::string* partName = part.path == path ? &name : names->NameOf(part.path);
        if (!partName)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "The split of [%s] made an unknown part [%s]",
                                           name.c_str(), part.path.c_str());
        result.parts.push_back(SPart{*partName, part.path});
    }
    result.report = "split into " + std::to_string(result.parts.size()) + " parts";
    ZYLOG(1, "Collect file [%s] %s", name.c_str(), result.report.c_str());
    return CKoError::Success();
}
