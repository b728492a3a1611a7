// The result type of every operation that can fail, and the builders and tests of its code families.
#pragma once

#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

#define ZY_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))

// Where an error was raised or passed on: source file, function signature and line.
class FXCodeLocation {
public:
    constexpr FXCodeLocation() = default;
    constexpr FXCodeLocation(const char* file, const char* function, int line)
        : m_file(file), m_function(function), m_line(line) {}

    // The source file's base name without directory and extension ("BasicCollectFile").
    std::string GetFile() const;
    const char* GetFunction() const { return m_function ? m_function : ""; }
    int GetLine() const { return m_line; }
    bool IsValid() const { return m_function != nullptr; }

private:
    const char* m_file = nullptr;
    const char* m_function = nullptr;
    int m_line = 0;
};

// The code location of the place this macro is written.
#define ZY_HERE (::FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__))

// Error codes of the Windows family that the library raises.
namespace ZyWin32 {
constexpr long ERROR_SUCCESS = 0;
constexpr long ERROR_FILE_NOT_FOUND = 2;
constexpr long ERROR_PATH_NOT_FOUND = 3;
constexpr long ERROR_ACCESS_DENIED = 5;
constexpr long ERROR_INVALID_HANDLE = 6;
constexpr long ERROR_INVALID_DATA = 13;
constexpr long ERROR_OUTOFMEMORY = 14;
constexpr long ERROR_NO_MORE_FILES = 18;
constexpr long ERROR_WRITE_PROTECT = 19;
constexpr long ERROR_GEN_FAILURE = 31;
constexpr long ERROR_LOCK_VIOLATION = 33;  // a lock another holder has
constexpr long ERROR_NOT_SUPPORTED = 50;
constexpr long ERROR_INVALID_PARAMETER = 87;
constexpr long ERROR_MOD_NOT_FOUND = 126;   // a shared library that cannot be loaded
constexpr long ERROR_PROC_NOT_FOUND = 127;  // a symbol missing from a loaded library
constexpr long ERROR_BAD_ARGUMENTS = 160;
constexpr long ERROR_ALREADY_EXISTS = 183;
constexpr long ERROR_NO_DATA = 232;
constexpr long WAIT_TIMEOUT = 258;
constexpr long ERROR_NO_MORE_ITEMS = 259;
constexpr long ERROR_GENERAL_FAILURE = 774;  // the library's general failure, always with a message
constexpr long ERROR_OPERATION_ABORTED = 995;
constexpr long ERROR_NOT_FOUND = 1168;
constexpr long ERROR_INTERNAL_ERROR = 1359;
constexpr long ERROR_FUNCTION_FAILED = 1627;
constexpr long ERROR_EMPTY = 4306;  // an empty file where a document was expected
}  // namespace ZyWin32

enum class EErrorFamily { None, Win32, ErrNo, Int, SQLite, ZYResult, EventMessage };

// Success, or an error with a family, a code, a message and a stack of locations (innermost first).
// Success holds nothing, so returning it costs nothing; copies of an error share its data until one
// of them is pushed onto.
class [[nodiscard]] CKoError {
public:
    struct Frame {
        FXCodeLocation location;
        std::string message;
    };

    CKoError() = default;
    static CKoError Success() { return CKoError(); }
    static CKoError Make(EErrorFamily family, long long code, const FXCodeLocation& location, std::string message);

    bool IsError() const { return m_rep != nullptr; }
    bool IsSuccess() const { return m_rep == nullptr; }
    explicit operator bool() const = delete;  // say IsError() or IsSuccess()

    EErrorFamily GetFamily() const;
    long long GetErrorCode() const;
    // The innermost message, the one the failing operation gave.
    const std::string& GetMessage() const;
    const std::vector<Frame>& GetStack() const;

    // Adds the caller's location (and a message of its own) on the way up; returns the error itself.
    CKoError& Push(const FXCodeLocation& location);
    CKoError& Push(const FXCodeLocation& location, const char* format, ...) ZY_PRINTF(3, 4);

    // Code, message and location stack as one text for logs.
    std::string AsString() const;
    // A deep copy: pushing onto it leaves this error alone.
    CKoError Copy() const;

    // Marks an error as deliberately dropped.
    void IgnoreError() const {}

private:
    struct Rep {
        EErrorFamily family;
        long long code;
        std::vector<Frame> stack;
    };
    Rep& Mutable();
    std::shared_ptr<Rep> m_rep;
};

const char* AsString(EErrorFamily family);

// Builders and tests of errors by family.
class FXErrorUtil {
public:
    static CKoError ErrorWin32(const FXCodeLocation& loc, long code);
    static CKoError ErrorWin32(const FXCodeLocation& loc, long code, const char* format, ...) ZY_PRINTF(3, 4);
    // The system's text for the errno is part of the message.
    static CKoError ErrorErrNo(const FXCodeLocation& loc, int err);
    static CKoError ErrorErrNo(const FXCodeLocation& loc, int err, const char* format, ...) ZY_PRINTF(3, 4);
    static CKoError ErrorInt(const FXCodeLocation& loc, long long code);
    static CKoError ErrorInt(const FXCodeLocation& loc, long long code, const char* format, ...) ZY_PRINTF(3, 4);
    static CKoError ErrorSQLite(const FXCodeLocation& loc, int code);
    static CKoError ErrorSQLite(const FXCodeLocation& loc, int code, const char* format, ...) ZY_PRINTF(3, 4);
    static CKoError ErrorZYResult(const FXCodeLocation& loc, long long code, const char* format, ...) ZY_PRINTF(3, 4);
    static CKoError ErrorEventMessage(const FXCodeLocation& loc, long long code, const char* format, ...)
        ZY_PRINTF(3, 4);

    static bool IsWin32(const CKoError& e, long code);
    static bool IsNotWin32(const CKoError& e, long code) { return e.IsError() && !IsWin32(e, code); }
    static bool IsErrNo(const CKoError& e, int err);
    static bool IsNotErrNo(const CKoError& e, int err) { return e.IsError() && !IsErrNo(e, err); }
    static bool IsSQLite(const CKoError& e, int code);
    static bool IsFamily(const CKoError& e, EErrorFamily family);
};

// printf into a std::string; shared by the error builders and the string helpers.
std::string ZyVFormat(const char* format, va_list args);
