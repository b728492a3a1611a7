#include "core/KoError.h"

#include <cstdio>
#include <cstring>

std::string FXCodeLocation::GetFile() const {
    if (!m_file) return std::string();
    const char* base = std::strrchr(m_file, '/');
    base = base ? base + 1 : m_file;
    const char* dot = std::strrchr(base, '.');
    return dot ? std::string(base, dot) : std::string(base);
}

std::string ZyVFormat(const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, args);
    return out;
}

namespace {
const std::string kEmpty;
const std::vector<CKoError::Frame> kNoFrames;

std::string FormatArgs(const char* format, va_list args) { return format ? ZyVFormat(format, args) : std::string(); }
}  // namespace

CKoError CKoError::Make(EErrorFamily family, long long code, const FXCodeLocation& location, std::string message) {
    CKoError e;
    e.m_rep = std::make_shared<Rep>(Rep{family, code, {}});
    e.m_rep->stack.push_back(Frame{location, std::move(message)});
    return e;
}

EErrorFamily CKoError::GetFamily() const { return m_rep ? m_rep->family : EErrorFamily::None; }
long long CKoError::GetErrorCode() const { return m_rep ? m_rep->code : 0; }
const std::string& CKoError::GetMessage() const {
    return m_rep && !m_rep->stack.empty() ? m_rep->stack.front().message : kEmpty;
}
const std::vector<CKoError::Frame>& CKoError::GetStack() const { return m_rep ? m_rep->stack : kNoFrames; }

CKoError::Rep& CKoError::Mutable() {
    if (m_rep.use_count() > 1) m_rep = std::make_shared<Rep>(*m_rep);
    return *m_rep;
}

CKoError& CKoError::Push(const FXCodeLocation& location) {
    if (m_rep) Mutable().stack.push_back(Frame{location, std::string()});
    return *this;
}

CKoError& CKoError::Push(const FXCodeLocation& location, const char* format, ...) {
    if (!m_rep) return *this;
    va_list args;
    va_start(args, format);
    std::string message = FormatArgs(format, args);
    va_end(args);
    Mutable().stack.push_back(Frame{location, std::move(message)});
    return *this;
}

CKoError CKoError::Copy() const {
    CKoError e;
    if (m_rep) e.m_rep = std::make_shared<Rep>(*m_rep);
    return e;
}

const char* AsString(EErrorFamily family) {
    switch (family) {
        case EErrorFamily::None: return "Success";
        case EErrorFamily::Win32: return "Win32";
        case EErrorFamily::ErrNo: return "ErrNo";
        case EErrorFamily::Int: return "Int";
        case EErrorFamily::SQLite: return "SQLite";
        case EErrorFamily::ZYResult: return "ZYResult";
        case EErrorFamily::EventMessage: return "EventMessage";
    }
    return "Unknown";
}

std::string CKoError::AsString() const {
    if (!m_rep) return "Success";
    std::string out = ::AsString(m_rep->family);
    out += ":";
    out += std::to_string(m_rep->code);
    for (const Frame& f : m_rep->stack) {
        out += " [";
        out += f.location.GetFile();
        out += "(";
        out += std::to_string(f.location.GetLine());
        out += ")";
        if (!f.message.empty()) {
            out += ": ";
            out += f.message;
        }
        out += "]";
    }
    return out;
}

// ---------------------------------------------------------------------------------------------

#define ZY_BUILD_WITH_FORMAT(family, code, loc, format)          \
    va_list args;                                              \
    va_start(args, format);                                    \
    std::string message = FormatArgs(format, args);            \
    va_end(args);                                              \
    return CKoError::Make(family, code, loc, std::move(message))

CKoError FXErrorUtil::ErrorWin32(const FXCodeLocation& loc, long code) {
    return CKoError::Make(EErrorFamily::Win32, code, loc, std::string());
}
CKoError FXErrorUtil::ErrorWin32(const FXCodeLocation& loc, long code, const char* format, ...) {
    ZY_BUILD_WITH_FORMAT(EErrorFamily::Win32, code, loc, format);
}

static std::string ErrNoText(int err) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not be in buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    return std::string(text);
}

CKoError FXErrorUtil::ErrorErrNo(const FXCodeLocation& loc, int err) {
    return CKoError::Make(EErrorFamily::ErrNo, err, loc, ErrNoText(err));
}
CKoError FXErrorUtil::ErrorErrNo(const FXCodeLocation& loc, int err, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = FormatArgs(format, args);
    va_end(args);
    message += " (";
    message += ErrNoText(err);
    message += ")";
    return CKoError::Make(EErrorFamily::ErrNo, err, loc, std::move(message));
}
CKoError FXErrorUtil::ErrorInt(const FXCodeLocation& loc, long long code) {
    return CKoError::Make(EErrorFamily::Int, code, loc, std::string());
}
CKoError FXErrorUtil::ErrorInt(const FXCodeLocation& loc, long long code, const char* format, ...) {
    ZY_BUILD_WITH_FORMAT(EErrorFamily::Int, code, loc, format);
}
CKoError FXErrorUtil::ErrorSQLite(const FXCodeLocation& loc, int code) {
    return CKoError::Make(EErrorFamily::SQLite, code, loc, std::string());
}
CKoError FXErrorUtil::ErrorSQLite(const FXCodeLocation& loc, int code, const char* format, ...) {
    ZY_BUILD_WITH_FORMAT(EErrorFamily::SQLite, code, loc, format);
}
CKoError FXErrorUtil::ErrorZYResult(const FXCodeLocation& loc, long long code, const char* format, ...) {
    ZY_BUILD_WITH_FORMAT(EErrorFamily::ZYResult, code, loc, format);
}
CKoError FXErrorUtil::ErrorEventMessage(const FXCodeLocation& loc, long long code, const char* format, ...) {
    ZY_BUILD_WITH_FORMAT(EErrorFamily::EventMessage, code, loc, format);
}

bool FXErrorUtil::IsFamily(const CKoError& e, EErrorFamily family) { return e.IsError() && e.GetFamily() == family; }
bool FXErrorUtil::IsWin32(const CKoError& e, long code) {
    return IsFamily(e, EErrorFamily::Win32) && e.GetErrorCode() == code;
}
bool FXErrorUtil::IsErrNo(const CKoError& e, int err) {
    return IsFamily(e, EErrorFamily::ErrNo) && e.GetErrorCode() == err;
}
bool FXErrorUtil::IsSQLite(const CKoError& e, int code) {
    return IsFamily(e, EErrorFamily::SQLite) && e.GetErrorCode() == code;
}
