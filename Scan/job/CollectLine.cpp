#include "scan/job/CollectLine.h"

#include "scan/Unix/CollectFileEncode.h"

bool ParseCollectLine(std::string_view name, SCollectLine& out) {
    out.kind = ECollectLineKind::Item;
    if (name.size() > 3 && name[0] == '?' && name[1] == '?' && (name[2] == 'd' || name[2] == 'D')) {
        out.kind = name[2] == 'd' ? ECollectLineKind::Deleted : ECollectLineKind::DeletedTree;
        name.remove_prefix(3);
    }
    if (name.empty() || name[0] != '/') return false;
    out.folder = name.back() == '/';
    if (out.folder && name.size() > 1) name.remove_suffix(1);
    if (out.kind == ECollectLineKind::DeletedTree) out.folder = true;
    out.path = decodeFileName(std::string(name).c_str());
    return true;
}
