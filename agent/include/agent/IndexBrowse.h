// Stand-in for the agent's index browse: a request that names what to list, reply pages of items
// handed one by one to a reply handler, and the browse client that runs the request.
//
// A client calls the handler's processResp once per reply page, in order; a handler that
// answers false stops the browse, and Browse then returns kBrowseStoppedByHandler. Return codes
// are negative on failure.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/KoError.h"

// The base of the agent's messages.
class CNMessageBase {
public:
    virtual ~CNMessageBase() = default;
    virtual int GetMessageType() const = 0;
};

namespace databrowse {

struct BrowseRequest {
    std::string path = "\\**\\*";  // everything, recursively
    std::string filter = "*";
    std::string operationName;
    unsigned long clientId = 0;
    unsigned long subclientId = 0;
    int appType = 0;
    unsigned long backupSetId = 0;
    unsigned long fromTime = 0;  // Unix seconds; 0: from the first job
    unsigned long toTime = 0;    // Unix seconds; 0: up to now
    std::string clientName;
    std::string subclientName;
    int copyPrecedence = 0;
    bool includeRunningJobs = false;
    std::string archiveFile;  // set for snapshot copies

    // The request as a one-element XML document (what an index records as the query).
    std::string AsXml() const;
};

// One item of a reply page, with the index's attributes of it.
struct BrowseItem {
    std::string path;
    bool folder = false;
    int64_t modificationTime = 0;  // Unix seconds
    int64_t changeTime = 0;        // Unix seconds
    uint64_t size = 0;
    std::string dataGuid;
    bool deleted = false;  // a later job deleted it
    bool adhoc = false;    // backed up as ad-hoc content
    bool stub = false;
};

enum BrowseStatus : int {
    BROWSE_STATUS_OK = 0,
    BROWSE_STATUS_PARTIAL = 2,  // the index could not give every item
    BROWSE_STATUS_ERROR = 3,
};

class BrowseReply : public CNMessageBase {
public:
    static constexpr int kMessageType = 0x6201;
    int GetMessageType() const override { return kMessageType; }

    uint64_t tagId = 0;  // the page's number, from 1
    BrowseStatus status = BROWSE_STATUS_OK;
    std::string errorText;
    std::vector<BrowseItem> items;
};

// The browse order of items: by parent folder key (the parent's path with a trailing "/"), then
// by name, both compared as bytes; the root "/" has the key ("", "/") and comes first. False for a
// path that is not absolute or holds an empty component or a NUL (trailing "/" are ignored).
bool BrowseItemKey(const std::string& path, std::string& parentKey, std::string& name);

}  // namespace databrowse

class IdxBrowseClientResp {
public:
    virtual ~IdxBrowseClientResp() = default;
    // One reply page; false stops the browse.
    virtual bool processResp(CNMessageBase* message) = 0;
};

class IdxBrowseClient {
public:
    static constexpr int kBrowseStoppedByHandler = -2;

    virtual ~IdxBrowseClient() = default;
    // `pageSize` items per reply page; the last two arguments are reserved (null).
    virtual int Initialize(const databrowse::BrowseRequest& request, IdxBrowseClientResp* handler, int pageSize,
                           void* reserved1, void* reserved2) = 0;
    virtual int Browse() = 0;
    // Why the last call failed.
    virtual CKoError GetLastError() const = 0;
};

using IdxBrowseClientPtr = std::shared_ptr<IdxBrowseClient>;
