// Percent-escaping of item names in collect and DirChange files: a byte that would break the
// line grammar becomes "%" and two upper-case hexadecimal digits.
#pragma once

#include <string>

// Escapes CR, LF, "%", "|" and 0x1A; with the machine setting "encodeAllSpecialSymbols" on
// (section "FileSystemAgent", read once per process) also every byte below 0x20 and every byte
// from 0x80 up. Throws ZyException when the buffer cannot be allocated.
std::string escapeFileName(const char* name);
// The same with the setting given explicitly.
std::string escapeFileName(const char* name, bool encodeAllSpecialSymbols);
// Both into `out`, whose capacity is reused: for callers that escape every item of a walk.
void escapeFileName(const char* name, std::string& out);
void escapeFileName(const char* name, bool encodeAllSpecialSymbols, std::string& out);

// Replaces every "%" followed by two hexadecimal digits (either case) by that byte; any other "%"
// stays as it is.
std::string decodeFileName(const char* name);
// Decodes in place; true when at least one escape was decoded.
bool decodeEscapeChars(char* name);

// True when some byte is below 0x20, from 0x80 up, "%" or "|" (whatever the setting says).
bool HasSpecialCharacters(const std::string& name);

// Escapes only CR, LF and "%", for log output.
void escapeFileNameToPrint(const std::string& in, std::string& out);

// Extended attributes of this name are left out of backups.
bool isXattrFiltered(const char* name);
