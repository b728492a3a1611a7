// Flat DirChange backing files over arbitrary bytes: the flat line reader, the DirChange item
// parsers and the name decoding. The first byte chooses a read buffer size and whether names are
// decoded; the rest is the file.
//
// The reader gives the same lines and fields from a file and from a C++ stream, with any buffer
// size; a seek to a folder's block start reads on from the line after the folder line. Each line's
// fields parse into an item whose formatted fields parse back to the same item.
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "core/File.h"
#include "scan/dirchange/DirChangeFileFormat.h"
#include "scan/dirchange/DirChangeFormatter.h"
#include "scan/dirchange/DirChangeItemData.h"
#include "scan/dirchange/DirChangeParser.h"
#include "scan/dirchange/FlatDirChangeLineReader.h"

namespace {

struct SLine {
    CFlatDirChangeLineReader::ELineKind kind;
    std::string line;
    std::vector<std::string> fields;
    uint64_t start, end;
    bool operator==(const SLine& o) const {
        return kind == o.kind && line == o.line && fields == o.fields && start == o.start && end == o.end;
    }
};

SLine Current(const CFlatDirChangeLineReader& reader) {
    SLine line{reader.Kind(), std::string(reader.Line()), {}, reader.LineStart(), reader.EndOffset()};
    reader.AssignFields(line.fields);
    return line;
}

std::vector<SLine> ReadAll(CLineSource& source, size_t bufferSize) {
    CFlatDirChangeLineReader reader(source, 0, bufferSize);
    std::vector<SLine> lines;
    for (;;) {
        bool got = false;
        FUZZ_CHECK(reader.ReadLine(got).IsSuccess());
        if (!got) break;
        lines.push_back(Current(reader));
        const SLine& line = lines.back();
        FUZZ_CHECK(line.start < line.end);
        FUZZ_CHECK(line.fields.size() == reader.FieldCount());
        FUZZ_CHECK(line.kind == CFlatDirChangeLineReader::LINE_EMPTY ? line.fields.empty() : !line.fields.empty());
        if (line.kind == CFlatDirChangeLineReader::LINE_FILE) {
            FUZZ_CHECK(reader.Name()[0] == '\t' && reader.NameWithoutTab() == reader.Name().substr(1));
        }
    }
    return lines;
}

// Parses the fields into the item the parser makes; formats it; parses the formatted fields. The
// parsers read the name too (a folder line's name is a path, which never looks like a field); the
// round trip is checked with a file name, which cannot.
void CheckItemRoundTrip(std::vector<std::string> fields) {
    FVBasePtr item;
    CDirChangeParser().GetItemInfo(item, fields).IgnoreError();
    fields[0] = "\tname";
    item.reset();
    CFlatFileIndexParser none;
    FUZZ_CHECK(none.GetItemInfo(item, fields).IsSuccess() && !item);

    CDirChangeItemBaseParser baseParser;
    FUZZ_CHECK(baseParser.GetItemInfo(item, fields).IsSuccess() && item);
    const auto* base = dynamic_cast<const CDirChangeItemBaseInfo*>(item.get());
    FUZZ_CHECK(base);
    const bool deleted = base->GetIsDeleted();

    CDirChangeParser parser;
    FUZZ_CHECK(parser.GetItemInfo(item, fields).IsSuccess() && item);
    const auto* data = dynamic_cast<const CDirChangeItemData*>(item.get());
    FUZZ_CHECK(data && data->GetIsDeleted() == deleted);

    // The formatted text is "|field|field..."; as a field list it follows the name.
    const std::string text = CDirChangeFormatter().GetFormattedData(item);
    std::vector<std::string> again{fields[0]};
    for (size_t pos = 0; pos < text.size();) {
        FUZZ_CHECK(text[pos] == '|');
        size_t next = text.find('|', pos + 1);
        if (next == std::string::npos) next = text.size();
        again.push_back(text.substr(pos + 1, next - pos - 1));
        pos = next;
    }
    FVBasePtr reparsed;
    FUZZ_CHECK(parser.GetItemInfo(reparsed, again).IsSuccess());
    const auto* copy = dynamic_cast<const CDirChangeItemData*>(reparsed.get());
    FUZZ_CHECK(copy);
    FUZZ_CHECK(copy->GetIsDeleted() == data->GetIsDeleted());
    FUZZ_CHECK(copy->GetFileId() == data->GetFileId());
    FUZZ_CHECK(copy->GetBackupFrequency() == data->GetBackupFrequency());
    FUZZ_CHECK(copy->GetIsSelectiveSync() == data->GetIsSelectiveSync());
    FUZZ_CHECK(copy->GetIsAddedToCollect() == data->GetIsAddedToCollect());
    FUZZ_CHECK(CDirChangeItemBaseFormatter().GetFormattedData(item) == (deleted ? "|<D>1" : ""));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Setup();
    if (size == 0) return 0;
    const size_t small = 1 + data[0] % 32;
    const bool decode = data[0] & 0x80;
    const std::string content(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string path = fuzzsupport::WriteScratchFile("DCFlat.zyf", content);

    FXFileHandle file;
    FUZZ_CHECK(FXFile::zyfopen(path, "rb", file).IsSuccess());
    CFileLineSource fileSource(file.Get());
    const std::vector<SLine> lines = ReadAll(fileSource, CLineBuffer::kDefaultSize);
    std::istringstream stream(content);
    CStreamLineSource streamSource(stream);
    FUZZ_CHECK(ReadAll(streamSource, small) == lines);

    // Blocks: from just after a folder line the reader goes on with the line after it.
    CFlatDirChangeLineReader reader(fileSource, 0, small);
    for (size_t i = 0; i < lines.size() && i < 64; ++i) {
        if (lines[i].kind != CFlatDirChangeLineReader::LINE_FOLDER) continue;
        FUZZ_CHECK(reader.Seek(lines[i].end).IsSuccess());
        bool got = false;
        FUZZ_CHECK(reader.ReadLine(got).IsSuccess());
        FUZZ_CHECK(got == (i + 1 < lines.size()));
        if (got) FUZZ_CHECK(Current(reader) == lines[i + 1]);
    }

    std::string decoded;
    for (size_t i = 0; i < lines.size() && i < 64; ++i) {
        const SLine& line = lines[i];
        if (line.kind == CFlatDirChangeLineReader::LINE_EMPTY) continue;
        CheckItemRoundTrip(line.fields);
        if (line.kind == CFlatDirChangeLineReader::LINE_FOLDER) {
            CDirChangeFileFormat::DecodeFlatFolder(line.fields[0], decode, decoded);
        } else {
            CDirChangeFileFormat::DecodeFlatFileName(std::string_view(line.fields[0]).substr(1), decode, decoded);
        }
    }
    return 0;
}
