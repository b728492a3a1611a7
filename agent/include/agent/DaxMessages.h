// Messages of the agent's message library that subclient content travels in, as small XML
// documents. Values are byte strings escaped as in FileScan messages ("%XX" for "%" and for
// bytes XML cannot carry), so every path comes back exactly as it went in.
//
//   <Message id="22" type="Dax::SubclientContentList">
//     <content val="/srv/data"/>
//     <filter val="*.tmp"/>
//     <exception val="/srv/data/cache/keep"/>
//   </Message>
//
//   <Message id="30" type="App_GetModifiedFileListReq" subclientId="17" queryTime="1717000000"/>
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/KoError.h"

namespace Dax {

// A subclient's content, filters and exceptions (lists 1, 2 and 3), kept in "BackupContent.xml".
struct SubclientContentList {
    static constexpr uint32_t kMessageId = 22;
    static constexpr const char* kMessageType = "Dax::SubclientContentList";

    std::vector<std::string> content;
    std::vector<std::string> filters;
    std::vector<std::string> exceptions;

    bool operator==(const SubclientContentList& o) const {
        return content == o.content && filters == o.filters && exceptions == o.exceptions;
    }

    CKoError SerializeToString(std::string& out) const;
    // Strict: another message, an unknown element, a missing or badly escaped value is Win32 13;
    // text that is not XML keeps the parser's code. On failure the lists are left as they were.
    CKoError ParseFromString(const std::string& text);
};

}  // namespace Dax

// The request for the content added to a subclient since a time (message 30).
struct App_GetModifiedFileListReq {
    static constexpr uint32_t kMessageId = 30;
    static constexpr const char* kMessageType = "App_GetModifiedFileListReq";

    uint32_t subclientId = 0;  // field 1
    int64_t queryTime = 0;     // field 3, seconds since 1970

    CKoError SerializeToString(std::string& out) const;
    CKoError ParseFromString(const std::string& text);
};
