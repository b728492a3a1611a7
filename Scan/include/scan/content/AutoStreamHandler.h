// How many data readers (parallel backup streams) a job uses: the number the subclient is
// configured with, else 4, or 4 per backup node in a multi-node job.
#pragma once

#include <string>

#include "core/KoError.h"

class Subclient;

class AutoStreamHandler {
public:
    // `subclient` may be null (automatic choice). `override` replaces the default rule when
    // given. `reason`, when given, receives the line that explains the choice. The unsigned long
    // is not used.
    static CKoError GetMaxNumberOfStreams(Subclient* subclient, int& streams, bool multiNode, int backupNodes,
                                          unsigned long unused, AutoStreamHandler* override = nullptr,
                                          std::string* reason = nullptr);

    virtual CKoError GetMaxNumberOfStreamsInternal(Subclient* subclient, int& streams, bool multiNode,
                                                   int backupNodes, unsigned long unused, std::string* reason);
    virtual ~AutoStreamHandler() = default;

    static constexpr int kDefaultStreams = 4;
};
