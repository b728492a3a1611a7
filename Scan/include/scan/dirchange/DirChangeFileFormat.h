// The line grammar of the two DirChange file kinds, as readers and writers the DirChange stores
// share.
//
// Tree DirChange file: a folder line is a folder path in UNC-moniker form; a file line is a TAB
// and one name of the current folder; an optional first line "Version2" is skipped.
//
// Flat DirChange backing file: a folder line is the folder with a trailing delimiter, in
// UNC-moniker form, escaped when name encoding is on, followed by the formatter's fields; a file
// line is a TAB, the (escaped) name, the formatter's fields and the decision-point fields. The
// file lines after a folder line form a block of that folder, which starts at the stream position
// just after the folder line.
//
// Readers hand out views into their buffer, valid until the next read; nothing is allocated per
// line once the buffers have grown to the longest line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/KoError.h"

// Writers and name conversions of both file kinds. The Append... functions add one complete line
// (with its LF) to `out`, so that a caller can gather lines and write them with one call.
class CDirChangeFileFormat {
public:
    static constexpr std::string_view kVersionLine = "Version2";
    // What the flat DirChange file writer puts at the start of a file it creates.
    static constexpr std::string_view kFlatFileHeader = "Version2\n/\n";

    // Tree file: the folder in moniker form.
    static void AppendTreeFolderLine(std::string& out, std::string_view folder);
    // Tree file: TAB and the name.
    static void AppendTreeFileLine(std::string& out, std::string_view name);

    // Flat file: the folder with a trailing delimiter, in moniker form, escaped when `encode` is
    // on, then `fields` (a formatter's text).
    static void AppendFlatFolderLine(std::string& out, std::string_view folder, bool encode, std::string_view fields);
    // Flat file: TAB, the name (escaped when `encode` is on), `fields`, then `decisionPoint`
    // (see AppendDecisionPointFields; empty when the switch is off).
    static void AppendFlatFileLine(std::string& out, std::string_view name, bool encode, std::string_view fields,
                                   std::string_view decisionPoint = std::string_view());
    // "|<DPtim>time", "|<DPloc>function(line)" when the location is valid, "|<DPrsn>reason" when
    // there is a reason.
    static void AppendDecisionPointFields(std::string& out, std::string_view time, const FXCodeLocation& location,
                                          std::string_view reason);

    // The name escaped for a flat file (escapeFileName), without allocating when nothing needs it.
    static void AppendEscapedName(std::string& out, std::string_view name);

    // A flat folder line's text as a path: exactly one trailing delimiter, decoded when `decode`
    // is on, out of moniker form.
    static void DecodeFlatFolder(std::string_view text, bool decode, std::string& out);
    // A flat file line's name (without TAB), decoded when `decode` is on. An empty result means
    // the line is to be skipped.
    static void DecodeFlatFileName(std::string_view name, bool decode, std::string& out);
};
