// The line reader of tree DirChange files over arbitrary bytes. The first byte chooses a read
// buffer size; the rest is the file.
//
// Lines do not depend on the buffer: a reader with a buffer of a few bytes (every line then spans
// reads) hands out the same lines, kinds and numbers as one with the default buffer, and together
// they account for every byte.
#include <cstdio>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "core/File.h"
#include "scan/dirchange/DirChangeFileLineReader.h"

namespace {

struct SLine {
    std::string text;
    bool file;
    uint64_t number;
    bool operator==(const SLine& o) const { return text == o.text && file == o.file && number == o.number; }
};

std::vector<SLine> ReadAll(const std::string& path, size_t bufferSize) {
    FXFileHandle file;
    FUZZ_CHECK(FXFile::zyfopen(path, "rb", file).IsSuccess());
    CDirChangeFileLineReader reader(file.Get(), bufferSize);
    std::vector<SLine> lines;
    for (;;) {
        bool got = false;
        FUZZ_CHECK(reader.ReadLine(got).IsSuccess());
        if (!got) break;
        FUZZ_CHECK(reader.IsFile() != reader.IsFolder());
        const std::string text(reader.Text());
        // A line is cut at its first CR; a file line is a TAB and the name.
        FUZZ_CHECK(text.find('\r') == std::string::npos && text.find('\n') == std::string::npos);
        FUZZ_CHECK(!reader.IsFolder() || text.empty() || text[0] != '\t');
        lines.push_back(SLine{text, reader.IsFile(), reader.GetLineNumber()});
    }
    FUZZ_CHECK(std::feof(file.Get()));
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Setup();
    if (size == 0) return 0;
    const size_t small = 1 + data[0] % 32;
    const std::string content(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string path = fuzzsupport::WriteScratchFile("DCTot.zyf", content);

    const std::vector<SLine> lines = ReadAll(path, CLineBuffer::kDefaultSize);
    FUZZ_CHECK(ReadAll(path, small) == lines);

    // One line per LF, and one more for text after the last LF; a first "Version2" line is not
    // handed out.
    size_t expected = 0;
    for (char c : content) expected += c == '\n';
    if (!content.empty() && content.back() != '\n') ++expected;
    if (content.compare(0, 9, "Version2\n") == 0) --expected;
    FUZZ_CHECK(lines.size() == expected);
    return 0;
}
