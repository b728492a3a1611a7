#include "core/FaultInjectionEnv.h"

#include <algorithm>
#include <cerrno>

namespace {

// One spelling per path, so that a folder's sync finds the changes made in it: no repeated or
// trailing delimiters, no "." components.
std::string Normalize(const std::string& path) {
    const bool absolute = !path.empty() && path[0] == '/';
    std::string out = absolute ? "/" : "";
    for (size_t i = 0; i < path.size();) {
        size_t end = path.find('/', i);
        if (end == std::string::npos) end = path.size();
        const size_t n = end - i;
        if (n > 0 && !(n == 1 && path[i] == '.')) {
            if (!out.empty() && out.back() != '/') out.push_back('/');
            out.append(path, i, n);
        }
        i = end + 1;
    }
    return out.empty() ? std::string(".") : out;
}

std::string ParentOf(const std::string& normalized) {
    size_t slash = normalized.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return normalized.substr(0, slash);
}

}  // namespace

const char* AsString(EFaultOp kind) {
    switch (kind) {
        case EFaultOp::Open: return "open";
        case EFaultOp::Read: return "read";
        case EFaultOp::Write: return "write";
        case EFaultOp::Sync: return "sync";
        case EFaultOp::Close: return "close";
        case EFaultOp::Truncate: return "truncate";
        case EFaultOp::Rename: return "rename";
        case EFaultOp::Remove: return "remove";
        case EFaultOp::MkDir: return "mkdir";
        case EFaultOp::SyncDir: return "syncdir";
        case EFaultOp::List: return "list";
        case EFaultOp::Stat: return "stat";
        case EFaultOp::Lock: return "lock";
        case EFaultOp::Any: return "any";
    }
    return "?";
}

struct FXFaultInjectionEnv::FileState {
    uint64_t size = 0;    // as written through this environment
    uint64_t synced = 0;  // what a crash keeps
};

struct FXFaultInjectionEnv::Verdict {
    bool fail = false;
    bool crash = false;
    bool torn = false;
    int err = 0;

    CKoError Error(const FXCodeLocation& here, const char* what, const std::string& path) const {
        if (crash)
            return FXErrorUtil::ErrorErrNo(here, EIO, "%s failed: the machine stopped (injected crash), FileName=[%s]", what,
                                           path.c_str());
        return FXEnvPathError(here, err, (std::string(what) + " (injected fault)").c_str(), path);
    }
};

// A change to a folder's entries, undone by a crash unless every folder it names was synced.
struct FXFaultInjectionEnv::DirOp {
    enum class Kind { Create, MkDir, Rename, Remove, RmDir } kind;
    std::vector<std::string> dirs;
    std::string path;  // created, removed, or the target of a rename
    std::string from;  // the source of a rename
    std::shared_ptr<FileState> state;  // of the removed or renamed file, when tracked
    bool hadContent = false;           // the removed file, or the one a rename replaced, was a regular file
    std::string content;               // ... holding this after a crash
};

// ---------------------------------------------------------------------------------------------

class FXFaultInjectionEnv::SequentialFile : public FXSequentialFile {
public:
    SequentialFile(FXFaultInjectionEnv* env, std::unique_ptr<FXSequentialFile> target, std::string path)
        : m_env(env), m_target(std::move(target)), m_path(std::move(path)), m_epoch(env->Epoch()) {}
    CKoError Read(char* buffer, size_t n, size_t& got) override {
        got = 0;
        Verdict v = m_env->Check(EFaultOp::Read, m_epoch);
        if (v.fail) return v.Error(ZY_HERE, "read", m_path);
        return m_target->Read(buffer, n, got);
    }
    CKoError Skip(uint64_t n) override {
        Verdict v = m_env->Check(EFaultOp::Read, m_epoch);
        if (v.fail) return v.Error(ZY_HERE, "lseek", m_path);
        return m_target->Skip(n);
    }

private:
    FXFaultInjectionEnv* m_env;
    std::unique_ptr<FXSequentialFile> m_target;
    std::string m_path;
    uint64_t m_epoch;
};

class FXFaultInjectionEnv::RandomAccessFile : public FXRandomAccessFile {
public:
    RandomAccessFile(FXFaultInjectionEnv* env, std::unique_ptr<FXRandomAccessFile> target, std::string path)
        : m_env(env), m_target(std::move(target)), m_path(std::move(path)), m_epoch(env->Epoch()) {}
    CKoError Read(uint64_t offset, char* buffer, size_t n, size_t& got) const override {
        got = 0;
        Verdict v = m_env->Check(EFaultOp::Read, m_epoch);
        if (v.fail) return v.Error(ZY_HERE, "read", m_path);
        return m_target->Read(offset, buffer, n, got);
    }
    CKoError Size(uint64_t& size) const override {
        Verdict v = m_env->Check(EFaultOp::Stat, m_epoch);
        if (v.fail) return v.Error(ZY_HERE, "fstat", m_path);
        return m_target->Size(size);
    }

private:
    FXFaultInjectionEnv* m_env;
    std::unique_ptr<FXRandomAccessFile> m_target;
    std::string m_path;
    uint64_t m_epoch;
};

class FXFaultInjectionEnv::WritableFile : public FXWritableFile {
public:
    WritableFile(FXFaultInjectionEnv* env, std::unique_ptr<FXWritableFile> target, std::string path,
                 std::shared_ptr<FileState> state)
        : m_env(env), m_target(std::move(target)), m_path(std::move(path)), m_state(std::move(state)),
          m_epoch(env->Epoch()) {}
    CKoError Append(std::string_view data) override {
        Verdict v = m_env->Check(EFaultOp::Write, m_epoch);
        if (v.fail) {
            if (v.torn && data.size() > 1) {
                m_target->Append(data.substr(0, data.size() / 2)).IgnoreError();
                m_env->OnWritten(*m_state, m_target->Size());
            }
            return v.Error(ZY_HERE, "write", m_path);
        }
        CKoError e = m_target->Append(data);
        m_env->OnWritten(*m_state, m_target->Size());
        return e;
    }
    CKoError Sync() override {
        Verdict v = m_env->Check(EFaultOp::Sync, m_epoch);
        if (v.fail) return v.Error(ZY_HERE, "fdatasync", m_path);
        CKoError e = m_env->SyncsReachTheDisk() ? m_target->Sync() : CKoError::Success();
        if (e.IsSuccess()) m_env->OnSynced(*m_state);
        return e;
    }
    CKoError Close() override {
        Verdict v = m_env->Check(EFaultOp::Close, m_epoch);
        // The descriptor goes either way, as with close(2).
        CKoError e = m_target->Close();
        if (v.fail) return v.Error(ZY_HERE, "close", m_path);
        return e;
    }
    CKoError Truncate(uint64_t size) override {
        Verdict v = m_env->Check(EFaultOp::Truncate, m_epoch);
        if (v.fail) return v.Error(ZY_HERE, "ftruncate", m_path);
        CKoError e = m_target->Truncate(size);
        if (e.IsSuccess()) m_env->OnTruncated(*m_state, size);
        return e;
    }
    uint64_t Size() const override { return m_target->Size(); }

private:
    FXFaultInjectionEnv* m_env;
    std::unique_ptr<FXWritableFile> m_target;
    std::string m_path;
    std::shared_ptr<FileState> m_state;
    uint64_t m_epoch;
};

class FXFaultInjectionEnv::RandomRWFile : public FXRandomRWFile {
public:
    RandomRWFile(FXFaultInjectionEnv* env, std::unique_ptr<FXRandomRWFile> target, std::string path,
                 std::shared_ptr<FileState> state)
        : m_env(env), m_target(std::move(target)), m_path(std::move(path)), m_state(std::move(state)),
          m_epoch(env->Epoch()) {}
    CKoError Read(uint64_t offset, char* buffer, size_t n, size_t& got) const override {
        got = 0;
        Verdict v = m_env->Check(EFaultOp::Read, m_epoch);
        if (v.fail) return v.Error(ZY_HERE, "read", m_path);
        return m_target->Read(offset, buffer, n, got);
    }
    CKoError Write(uint64_t offset, std::string_view data) override {
        Verdict v = m_env->Check(EFaultOp::Write, m_epoch);
        if (v.fail) {
            if (v.torn && data.size() > 1) {
                const std::string_view half = data.substr(0, data.size() / 2);
                if (m_target->Write(offset, half).IsSuccess()) m_env->OnWritten(*m_state, offset + half.size());
            }
            return v.Error(ZY_HERE, "write", m_path);
        }
        CKoError e = m_target->Write(offset, data);
        if (e.IsSuccess()) m_env->OnWritten(*m_state, offset + data.size());
        return e;
    }
    CKoError Truncate(uint64_t size) override {
        Verdict v = m_env->Check(EFaultOp::Truncate, m_epoch);
        if (v.fail) return v.Error(ZY_HERE, "ftruncate", m_path);
        CKoError e = m_target->Truncate(size);
        if (e.IsSuccess()) m_env->OnTruncated(*m_state, size);
        return e;
    }
    CKoError Size(uint64_t& size) const override {
        Verdict v = m_env->Check(EFaultOp::Stat, m_epoch);
        if (v.fail) return v.Error(ZY_HERE, "fstat", m_path);
        return m_target->Size(size);
    }
    CKoError Sync() override {
        Verdict v = m_env->Check(EFaultOp::Sync, m_epoch);
        if (v.fail) return v.Error(ZY_HERE, "fdatasync", m_path);
        CKoError e = m_env->SyncsReachTheDisk() ? m_target->Sync() : CKoError::Success();
        if (e.IsSuccess()) m_env->OnSynced(*m_state);
        return e;
    }
    CKoError Close() override {
        Verdict v = m_env->Check(EFaultOp::Close, m_epoch);
        CKoError e = m_target->Close();
        if (v.fail) return v.Error(ZY_HERE, "close", m_path);
        return e;
    }

private:
    FXFaultInjectionEnv* m_env;
    std::unique_ptr<FXRandomRWFile> m_target;
    std::string m_path;
    std::shared_ptr<FileState> m_state;
    uint64_t m_epoch;
};

// ---------------------------------------------------------------------------------------------

FXFaultInjectionEnv::FXFaultInjectionEnv(FXEnv* target) : FXEnvWrapper(target) {}

FXFaultInjectionEnv::~FXFaultInjectionEnv() = default;

void FXFaultInjectionEnv::FailNth(EFaultOp kind, uint64_t nth, int err, bool sticky, bool torn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint64_t now = kind == EFaultOp::Any ? m_total : m_counts[static_cast<int>(kind)];
    m_faults.push_back(Fault{kind, now + std::max<uint64_t>(nth, 1), err, sticky, torn});
}

void FXFaultInjectionEnv::ClearFaults() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
}

uint64_t FXFaultInjectionEnv::Injected() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_injected;
}

uint64_t FXFaultInjectionEnv::Count(EFaultOp kind) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return kind == EFaultOp::Any ? m_total : m_counts[static_cast<int>(kind)];
}

std::array<uint64_t, kFaultOpKinds> FXFaultInjectionEnv::Counts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts;
}

void FXFaultInjectionEnv::ResetCounts() {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Armed faults and crash points keep their place relative to the operations still to come.
    std::vector<Fault> kept;
    for (Fault f : m_faults) {
        const uint64_t now = f.kind == EFaultOp::Any ? m_total : m_counts[static_cast<int>(f.kind)];
        if (f.at > now)
            f.at -= now;
        else if (f.sticky)
            f.at = 0;
        else
            continue;  // already fired
        kept.push_back(f);
    }
    m_faults.swap(kept);
    if (m_crashArmed) m_crashAt = m_crashAt > m_total ? m_crashAt - m_total : 0;
    m_counts.fill(0);
    m_total = 0;
}

void FXFaultInjectionEnv::CrashAfter(uint64_t n) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_crashArmed = true;
    m_crashAt = m_total + n;
    if (n == 0) m_crashed = true;
}

void FXFaultInjectionEnv::SetSyncsReachTheDisk(bool reach) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_syncsReachTheDisk = reach;
}

bool FXFaultInjectionEnv::SyncsReachTheDisk() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_syncsReachTheDisk;
}

bool FXFaultInjectionEnv::HasCrashed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_crashed;
}

uint64_t FXFaultInjectionEnv::Epoch() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_epoch;
}

FXFaultInjectionEnv::Verdict FXFaultInjectionEnv::Check(EFaultOp kind) { return Check(kind, Epoch()); }

FXFaultInjectionEnv::Verdict FXFaultInjectionEnv::Check(EFaultOp kind, uint64_t epoch) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Verdict v;
    if (epoch != m_epoch || m_crashed) {
        v.fail = v.crash = true;
        ++m_injected;
        return v;
    }
    const uint64_t n = ++m_counts[static_cast<int>(kind)];
    ++m_total;
    if (m_crashArmed && m_total > m_crashAt) {
        m_crashed = true;
        v.fail = v.crash = true;
        ++m_injected;
        return v;
    }
    for (const Fault& f : m_faults) {
        if (f.kind != EFaultOp::Any && f.kind != kind) continue;
        const uint64_t count = f.kind == EFaultOp::Any ? m_total : n;
        if (count == f.at || (f.sticky && count > f.at)) {
            v.fail = true;
            v.err = f.err;
            v.torn = f.torn;
            ++m_injected;
            return v;
        }
    }
    return v;
}

void FXFaultInjectionEnv::OnWritten(FileState& state, uint64_t end) {
    std::lock_guard<std::mutex> lock(m_mutex);
    state.size = std::max(state.size, end);
}

void FXFaultInjectionEnv::OnSynced(FileState& state) {
    std::lock_guard<std::mutex> lock(m_mutex);
    state.synced = state.size;
}

void FXFaultInjectionEnv::OnTruncated(FileState& state, uint64_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    state.size = size;
    state.synced = std::min(state.synced, size);
}

void FXFaultInjectionEnv::Journal(DirOp op) {
    for (std::string& d : op.dirs) d = Normalize(d);
    std::sort(op.dirs.begin(), op.dirs.end());
    op.dirs.erase(std::unique(op.dirs.begin(), op.dirs.end()), op.dirs.end());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_unsynced.push_back(std::move(op));
}

std::shared_ptr<FXFaultInjectionEnv::FileState> FXFaultInjectionEnv::TrackOpened(const std::string& path, bool existed,
                                                                                  bool truncated) {
    const std::string key = Normalize(path);
    uint64_t size = 0;
    if (existed && !truncated) {
        FXFileStat st;
        if (Target()->Stat(path, st, true).IsSuccess()) size = st.size;
    }
    if (!existed) Journal(DirOp{DirOp::Kind::Create, {ParentOf(key)}, key, {}, {}, false, {}});
    std::lock_guard<std::mutex> lock(m_mutex);
    std::shared_ptr<FileState>& state = m_files[key];
    if (!existed || !state) {
        // A file that was there before this environment saw it counts as synced.
        state = std::make_shared<FileState>();
        state->size = state->synced = size;
    } else if (truncated) {
        state->size = state->synced = 0;
    }
    return state;
}

bool FXFaultInjectionEnv::SaveDurableContent(const std::string& path, std::string& content) {
    content.clear();
    FXFileStat st;
    if (Target()->Stat(path, st).IsError() || !st.IsRegular()) return false;
    std::unique_ptr<FXSequentialFile> file;
    if (Target()->NewSequentialFile(path, file).IsError()) return false;
    char buffer[1 << 14];
    for (;;) {
        size_t got = 0;
        if (file->Read(buffer, sizeof buffer, got).IsError()) return false;
        if (got == 0) break;
        content.append(buffer, got);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_files.find(Normalize(path));
    if (it != m_files.end() && it->second->synced < content.size()) content.resize(it->second->synced);
    return true;
}

CKoError FXFaultInjectionEnv::PutBack(const std::string& path, const std::string& content) {
    std::unique_ptr<FXWritableFile> file;
    CKoError e = Target()->NewWritableFile(path, EWriteMode::Truncate, file);
    if (e.IsSuccess()) e = file->Append(content);
    if (e.IsSuccess()) e = file->Close();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot put a file back after a crash, FileName=[%s]", path.c_str());
    auto state = std::make_shared<FileState>();
    state->size = state->synced = content.size();
    m_files[Normalize(path)] = state;
    return CKoError::Success();
}

CKoError FXFaultInjectionEnv::RemoveTree(const std::string& path) {
    FXFileStat st;
    CKoError e = Target()->Stat(path, st);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return CKoError::Success();
    if (e.IsError()) return e;
    if (!st.IsDirectory()) return Target()->RemoveFile(path);
    std::vector<std::string> names;
    e = Target()->GetChildren(path, names);
    for (size_t i = 0; e.IsSuccess() && i < names.size(); ++i) e = RemoveTree(path + "/" + names[i]);
    if (e.IsSuccess()) e = Target()->RemoveDir(path);
    return e;
}

CKoError FXFaultInjectionEnv::DropUnsyncedData() {
    std::vector<DirOp> unsynced;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        unsynced.swap(m_unsynced);
        m_crashed = m_crashArmed = false;
        m_faults.clear();
        ++m_epoch;
    }
    // The environment is idle now (a restart): the bookkeeping below needs no lock against
    // operations, only against the accessors.
    std::lock_guard<std::mutex> lock(m_mutex);
    CKoError first;
    auto keep = [&first](CKoError e) {
        if (e.IsError() && first.IsSuccess()) first = e;
    };
    for (auto it = unsynced.rbegin(); it != unsynced.rend(); ++it) {
        DirOp& op = *it;
        switch (op.kind) {
            case DirOp::Kind::Create:
                m_files.erase(op.path);
                keep(RemoveTree(op.path));
                break;
            case DirOp::Kind::MkDir: keep(RemoveTree(op.path)); break;
            case DirOp::Kind::RmDir: {
                CKoError e = Target()->CreateDir(op.path);
                if (!FXErrorUtil::IsWin32(e, ZyWin32::ERROR_ALREADY_EXISTS)) keep(e);
                break;
            }
            case DirOp::Kind::Remove:
                if (op.hadContent) keep(PutBack(op.path, op.content));
                break;
            case DirOp::Kind::Rename: {
                FXFileStat st;
                if (Target()->Stat(op.path, st).IsSuccess()) {
                    keep(Target()->RenameFile(op.path, op.from));
                    auto moved = m_files.find(op.path);
                    if (moved != m_files.end()) {
                        m_files[op.from] = moved->second;
                        m_files.erase(op.path);
                    }
                }
                if (op.hadContent) keep(PutBack(op.path, op.content));
                break;
            }
        }
    }
    for (auto it = m_files.begin(); it != m_files.end();) {
        FXFileStat st;
        if (Target()->Stat(it->first, st).IsError() || !st.IsRegular()) {
            it = m_files.erase(it);
            continue;
        }
        FileState& state = *it->second;
        if (st.size > state.synced) {
            std::unique_ptr<FXRandomRWFile> file;
            CKoError e = Target()->NewRandomRWFile(it->first, false, file);
            if (e.IsSuccess()) e = file->Truncate(state.synced);
            if (e.IsSuccess()) e = file->Close();
            keep(e);
        }
        state.size = state.synced = std::min<uint64_t>(st.size, state.synced);
        ++it;
    }
    if (first.IsError()) return first.Push(ZY_HERE, "Cannot drop what was not synced");
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------

CKoError FXFaultInjectionEnv::NewSequentialFile(const std::string& path, std::unique_ptr<FXSequentialFile>& out,
                                                const FXOpenOptions& options) {
    Verdict v = Check(EFaultOp::Open);
    if (v.fail) return v.Error(ZY_HERE, "open", path);
    std::unique_ptr<FXSequentialFile> file;
    CKoError e = Target()->NewSequentialFile(path, file, options);
    if (e.IsError()) return e;
    out = std::make_unique<SequentialFile>(this, std::move(file), path);
    return CKoError::Success();
}

CKoError FXFaultInjectionEnv::NewRandomAccessFile(const std::string& path, std::unique_ptr<FXRandomAccessFile>& out,
                                                  const FXOpenOptions& options) {
    Verdict v = Check(EFaultOp::Open);
    if (v.fail) return v.Error(ZY_HERE, "open", path);
    std::unique_ptr<FXRandomAccessFile> file;
    CKoError e = Target()->NewRandomAccessFile(path, file, options);
    if (e.IsError()) return e;
    out = std::make_unique<RandomAccessFile>(this, std::move(file), path);
    return CKoError::Success();
}

CKoError FXFaultInjectionEnv::NewWritableFile(const std::string& path, EWriteMode mode,
                                              std::unique_ptr<FXWritableFile>& out, const FXOpenOptions& options) {
    Verdict v = Check(EFaultOp::Open);
    if (v.fail) return v.Error(ZY_HERE, "create", path);
    FXFileStat st;
    const bool existed = Target()->Stat(path, st, options.followLinks).IsSuccess();
    std::unique_ptr<FXWritableFile> file;
    CKoError e = Target()->NewWritableFile(path, mode, file, options);
    if (e.IsError()) return e;
    auto state = TrackOpened(path, existed, mode == EWriteMode::Truncate);
    out = std::make_unique<WritableFile>(this, std::move(file), path, std::move(state));
    return CKoError::Success();
}

CKoError FXFaultInjectionEnv::NewRandomRWFile(const std::string& path, bool create, std::unique_ptr<FXRandomRWFile>& out,
                                              const FXOpenOptions& options) {
    Verdict v = Check(EFaultOp::Open);
    if (v.fail) return v.Error(ZY_HERE, "open", path);
    FXFileStat st;
    const bool existed = Target()->Stat(path, st, options.followLinks).IsSuccess();
    std::unique_ptr<FXRandomRWFile> file;
    CKoError e = Target()->NewRandomRWFile(path, create, file, options);
    if (e.IsError()) return e;
    auto state = TrackOpened(path, existed, false);
    out = std::make_unique<RandomRWFile>(this, std::move(file), path, std::move(state));
    return CKoError::Success();
}

CKoError FXFaultInjectionEnv::RenameFile(const std::string& from, const std::string& to) {
    Verdict v = Check(EFaultOp::Rename);
    if (v.fail) return v.Error(ZY_HERE, "rename", from);
    DirOp op{DirOp::Kind::Rename, {}, Normalize(to), Normalize(from), {}, false, {}};
    op.hadContent = SaveDurableContent(to, op.content);
    CKoError e = Target()->RenameFile(from, to);
    if (e.IsError()) return e;
    op.dirs = {ParentOf(op.path), ParentOf(op.from)};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto moved = m_files.find(op.from);
        std::shared_ptr<FileState> state = moved == m_files.end() ? nullptr : moved->second;
        if (moved != m_files.end()) m_files.erase(moved);
        if (state)
            m_files[op.path] = state;
        else
            m_files.erase(op.path);
        op.state = state;
    }
    Journal(std::move(op));
    return CKoError::Success();
}

CKoError FXFaultInjectionEnv::RemoveFile(const std::string& path) {
    Verdict v = Check(EFaultOp::Remove);
    if (v.fail) return v.Error(ZY_HERE, "unlink", path);
    DirOp op{DirOp::Kind::Remove, {}, Normalize(path), {}, {}, false, {}};
    op.hadContent = SaveDurableContent(path, op.content);
    CKoError e = Target()->RemoveFile(path);
    if (e.IsError()) return e;
    op.dirs = {ParentOf(op.path)};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_files.erase(op.path);
    }
    Journal(std::move(op));
    return CKoError::Success();
}

CKoError FXFaultInjectionEnv::CreateDir(const std::string& path, mode_t mode) {
    Verdict v = Check(EFaultOp::MkDir);
    if (v.fail) return v.Error(ZY_HERE, "mkdir", path);
    CKoError e = Target()->CreateDir(path, mode);
    if (e.IsError()) return e;
    const std::string key = Normalize(path);
    Journal(DirOp{DirOp::Kind::MkDir, {ParentOf(key)}, key, {}, {}, false, {}});
    return CKoError::Success();
}

CKoError FXFaultInjectionEnv::RemoveDir(const std::string& path) {
    Verdict v = Check(EFaultOp::Remove);
    if (v.fail) return v.Error(ZY_HERE, "rmdir", path);
    CKoError e = Target()->RemoveDir(path);
    if (e.IsError()) return e;
    const std::string key = Normalize(path);
    Journal(DirOp{DirOp::Kind::RmDir, {ParentOf(key)}, key, {}, {}, false, {}});
    return CKoError::Success();
}

CKoError FXFaultInjectionEnv::SyncDir(const std::string& path) {
    Verdict v = Check(EFaultOp::SyncDir);
    if (v.fail) return v.Error(ZY_HERE, "fsync folder", path);
    CKoError e = SyncsReachTheDisk() ? Target()->SyncDir(path) : CKoError::Success();
    if (e.IsError()) return e;
    const std::string key = Normalize(path);
    std::lock_guard<std::mutex> lock(m_mutex);
    for (DirOp& op : m_unsynced) op.dirs.erase(std::remove(op.dirs.begin(), op.dirs.end(), key), op.dirs.end());
    m_unsynced.erase(std::remove_if(m_unsynced.begin(), m_unsynced.end(), [](const DirOp& op) { return op.dirs.empty(); }),
                     m_unsynced.end());
    return CKoError::Success();
}

CKoError FXFaultInjectionEnv::GetChildren(const std::string& folder, std::vector<std::string>& names) {
    Verdict v = Check(EFaultOp::List);
    if (v.fail) return v.Error(ZY_HERE, "open folder", folder);
    return Target()->GetChildren(folder, names);
}

CKoError FXFaultInjectionEnv::Stat(const std::string& path, FXFileStat& st, bool followLinks) {
    Verdict v = Check(EFaultOp::Stat);
    if (v.fail) return v.Error(ZY_HERE, "stat", path);
    return Target()->Stat(path, st, followLinks);
}

CKoError FXFaultInjectionEnv::LockFile(const std::string& path, std::unique_ptr<FXFileLock>& out) {
    Verdict v = Check(EFaultOp::Lock);
    if (v.fail) return v.Error(ZY_HERE, "open lock file", path);
    FXFileStat st;
    const bool existed = Target()->Stat(path, st).IsSuccess();
    CKoError e = Target()->LockFile(path, out);
    if (e.IsError()) return e;
    if (!existed) {
        const std::string key = Normalize(path);
        Journal(DirOp{DirOp::Kind::Create, {ParentOf(key)}, key, {}, {}, false, {}});
    }
    return CKoError::Success();
}
