// What loading a DirChange file found and what it had to leave out, so that a job can say what
// it skipped (or decide to run full).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/StringUtil.h"

struct SDirChangeLoadReport {
    static constexpr size_t kMaxNotes = 8;

    uint64_t folders = 0;       // folder lines taken
    uint64_t files = 0;         // file lines taken
    uint64_t skippedLines = 0;  // lines left out as unusable
    std::vector<std::string> notes;  // why, for the first few of them

    // Counts one skipped line and keeps its reason while there is room.
    void Skip(uint64_t lineStart, const char* why) {
        ++skippedLines;
        if (notes.size() < kMaxNotes)
            notes.push_back(FXString::Format("Offset=[%llu] %s", static_cast<unsigned long long>(lineStart), why));
    }
    bool HasSkipped() const { return skippedLines != 0; }
    // "12 folders, 340 files, 2 lines skipped (Offset=[..] ...; ...)".
    std::string Summary() const {
        std::string text = FXString::Format("%llu folders, %llu files, %llu lines skipped",
                                            static_cast<unsigned long long>(folders),
                                            static_cast<unsigned long long>(files),
                                            static_cast<unsigned long long>(skippedLines));
        for (size_t i = 0; i < notes.size(); ++i) text += (i == 0 ? " (" : "; ") + notes[i];
        if (!notes.empty()) text += ")";
        return text;
    }
};
