#include "agent/FileScanMessages.h"

#include "core/KoXml.h"

namespace FileScan {

namespace {

constexpr const char* kRoot = "Message";
constexpr const char* kDisk = "Disk";
constexpr const char* kVolume = "Volume";
constexpr const char* kComponent = "Component";
constexpr const char* kCollect = "Collect";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

CKoError Invalid(const FXCodeLocation& loc, const char* what, const std::string& detail) {
    return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_INVALID_DATA, "Malformed %s message, %s=[%s]",
                                   CollectInfo::kMessageType, what, detail.c_str());
}

// Writers -----------------------------------------------------------------------------------

CKoError SetText(CKoXNode& node, const char* name, const std::string& value) {
    return node.SetAttributeString(name, EncodeMessageText(value));
}

CKoError AppendCollects(CKoXNode& parent, const std::vector<Collect>& collects) {
    for (const Collect& collect : collects) {
        CKoXNodePtr node;
        CKoError e = parent.AppendNode(kCollect, node);
        if (e.IsSuccess()) e = SetText(*node, "path", collect.path);
        if (e.IsSuccess()) e = node->SetAttributeUINT("type", collect.type);
        if (e.IsError()) return e.Push(ZY_HERE, "Collect=[%s]", collect.path.c_str());
    }
    return CKoError::Success();
}

CKoError AppendDisk(CKoXNode& root, const DiskCollectInfo& disk) {
    CKoXNodePtr node;
    CKoError e = root.AppendNode(kDisk, node);
    if (e.IsSuccess()) e = SetText(*node, "name", disk.name);
    if (e.IsSuccess()) e = node->SetAttributeBOOL("isUnc", disk.isUnc);
    if (e.IsSuccess()) e = node->SetAttributeBOOL("preferred", disk.preferred);
    if (e.IsError()) return e.Push(ZY_HERE, "Disk=[%s]", disk.name.c_str());
    for (const VolumeCollectInfo& volume : disk.volumes) {
        CKoXNodePtr vnode;
        e = node->AppendNode(kVolume, vnode);
        if (e.IsSuccess()) e = SetText(*vnode, "path", volume.path);
        if (e.IsSuccess()) e = AppendCollects(*vnode, volume.collects);
        if (e.IsError()) return e.Push(ZY_HERE, "Volume=[%s]", volume.path.c_str());
    }
    return CKoError::Success();
}

CKoError AppendComponent(CKoXNode& root, const ComponentCollectInfo& component) {
    CKoXNodePtr node;
    CKoError e = root.AppendNode(kComponent, node);
    if (e.IsSuccess()) e = SetText(*node, "name", component.name);
    if (e.IsSuccess()) e = node->SetAttributeBOOL("useThreadPool", component.useThreadPool);
    if (e.IsSuccess()) e = AppendCollects(*node, component.collects);
    if (e.IsError()) return e.Push(ZY_HERE, "Component=[%s]", component.name.c_str());
    return CKoError::Success();
}

// Readers -----------------------------------------------------------------------------------

CKoError GetText(const CKoXNode& node, const char* name, std::string& value) {
    std::string raw;
    CKoError e = node.GetAttributeAsString(name, raw);
    if (e.IsError())
        return Invalid(ZY_HERE, "MissingAttribute", node.GetName() + "/@" + name);
    if (!DecodeMessageText(raw, value)) return Invalid(ZY_HERE, "BadEscape", raw);
    return CKoError::Success();
}

CKoError GetBool(const CKoXNode& node, const char* name, bool& value) {
    CKoError e = node.GetAttributeAsBOOL(name, value);
    if (e.IsError()) return Invalid(ZY_HERE, "BadOrMissingAttribute", node.GetName() + "/@" + name);
    return CKoError::Success();
}

CKoError Children(const CKoXNode& node, std::vector<CKoXNodePtr>& children) {
    children.clear();
    CKoError e = node.SelectNodes("*", children);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError ExpectName(const CKoXNode& node, const char* name, const char* in) {
    if (node.GetName() == name) return CKoError::Success();
    return Invalid(ZY_HERE, "UnexpectedElement", node.GetName() + " in " + in);
}

CKoError ReadCollects(const CKoXNode& parent, std::vector<Collect>& collects) {
    std::vector<CKoXNodePtr> nodes;
    CKoError e = Children(parent, nodes);
    if (e.IsError()) return e;
    collects.reserve(nodes.size());
    for (const CKoXNodePtr& node : nodes) {
        e = ExpectName(*node, kCollect, parent.GetName().c_str());
        if (e.IsError()) return e;
        Collect collect;
        e = GetText(*node, "path", collect.path);
        if (e.IsError()) return e;
        unsigned type = 0;
        if (node->GetAttributeAsUINT("type", type).IsError())
            return Invalid(ZY_HERE, "BadOrMissingCollectType", collect.path);
        collect.type = static_cast<CollectFileType>(type);
        collects.push_back(std::move(collect));
    }
    return CKoError::Success();
}

CKoError ReadDisk(const CKoXNode& node, DiskCollectInfo& disk) {
    CKoError e = GetText(node, "name", disk.name);
    if (e.IsSuccess()) e = GetBool(node, "isUnc", disk.isUnc);
    if (e.IsSuccess()) e = GetBool(node, "preferred", disk.preferred);
    if (e.IsError()) return e;
    std::vector<CKoXNodePtr> volumes;
    e = Children(node, volumes);
    if (e.IsError()) return e;
    for (const CKoXNodePtr& vnode : volumes) {
        e = ExpectName(*vnode, kVolume, kDisk);
        if (e.IsError()) return e;
        VolumeCollectInfo volume;
        e = GetText(*vnode, "path", volume.path);
        if (e.IsSuccess()) e = ReadCollects(*vnode, volume.collects);
        if (e.IsError()) return e.Push(ZY_HERE, "Disk=[%s]", disk.name.c_str());
        disk.volumes.push_back(std::move(volume));
    }
    return CKoError::Success();
}

CKoError ReadComponent(const CKoXNode& node, ComponentCollectInfo& component) {
    CKoError e = GetText(node, "name", component.name);
    if (e.IsSuccess()) e = GetBool(node, "useThreadPool", component.useThreadPool);
    if (e.IsSuccess()) e = ReadCollects(node, component.collects);
    if (e.IsError()) return e.Push(ZY_HERE, "Component=[%s]", component.name.c_str());
    return CKoError::Success();
}

}  // namespace

std::string EncodeMessageText(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        char32_t c = 0;
        size_t n = XmlCharLength(bytes, c);
        // Attribute values lose their controls to white-space normalisation, and "%" is our escape.
        if (n > 0 && c >= 0x20 && c != '%') {
            out.append(bytes.substr(0, n));
        } else {
            const auto b = static_cast<unsigned char>(bytes[0]);
            out.push_back('%');
            out.push_back(kHex[b >> 4]);
            out.push_back(kHex[b & 0xF]);
            n = 1;
        }
        bytes.remove_prefix(n);
    }
    return out;
}

bool DecodeMessageText(std::string_view text, std::string& bytes) {
    bytes.clear();
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            bytes.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return false;
        int hi = HexValue(text[i + 1]);
        int lo = HexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(static_cast<char>(hi << 4 | lo));
        i += 2;
    }
    return true;
}

CKoError CollectInfo::SerializeToString(std::string& out) const {
    CKoXDocument doc;
    CKoXNodePtr root;
    CKoError e = doc.AppendNode(kRoot, root);
    if (e.IsSuccess()) e = root->SetAttributeUINT("id", kMessageId);
    if (e.IsSuccess()) e = root->SetAttributeString("type", kMessageType);
    for (size_t i = 0; e.IsSuccess() && i < disks.size(); ++i) e = AppendDisk(*root, disks[i]);
    for (size_t i = 0; e.IsSuccess() && i < components.size(); ++i) e = AppendComponent(*root, components[i]);
    if (e.IsSuccess()) e = doc.SaveAsString(out, CKoXDocument::FORMAT_NO_DECLARATION | CKoXDocument::FORMAT_COMPACT);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot build message [%s]", kMessageType);
    return CKoError::Success();
}

CKoError CollectInfo::ParseFromString(const std::string& text) {
    CKoXDocument doc;
    CKoError e = doc.LoadFromString(text);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read message [%s]", kMessageType);
    CKoXNodePtr root = doc.GetRootNode();
    if (!root || !root->Exists() || root->GetName() != kRoot)
        return Invalid(ZY_HERE, "Root", root && root->Exists() ? root->GetName() : std::string());
    unsigned id = 0;
    if (root->GetAttributeAsUINT("id", id).IsError())
        return Invalid(ZY_HERE, "MessageId", root->AttributeAsString("id"));
    if (id != kMessageId)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "Unknown message id, Id=[%u], Expected=[%u] for [%s]", id, kMessageId,
                                       kMessageType);
    std::string type = root->AttributeAsString("type");
    if (type != kMessageType) return Invalid(ZY_HERE, "MessageType", type);

    CollectInfo parsed;
    std::vector<CKoXNodePtr> nodes;
    e = Children(*root, nodes);
    if (e.IsError()) return e;
    for (const CKoXNodePtr& node : nodes) {
        std::string name = node->GetName();
        if (name == kDisk) {
            parsed.disks.emplace_back();
            e = ReadDisk(*node, parsed.disks.back());
        } else if (name == kComponent) {
            parsed.components.emplace_back();
            e = ReadComponent(*node, parsed.components.back());
        } else {
            e = Invalid(ZY_HERE, "UnexpectedElement", name + " in " + kRoot);
        }
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    *this = std::move(parsed);
    return CKoError::Success();
}

}  // namespace FileScan
