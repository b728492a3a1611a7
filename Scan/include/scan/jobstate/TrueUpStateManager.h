// The TrueUp job state: one record of job information for the TrueUp reconciliation, kept in a
// small document of its own (XTrueUpStateDoc). The members are public data the TrueUp classes
// read and write; SaveStatetoDoc and LoadStateFromDoc move them to and from a file.
#pragma once

#include <cstdint>
#include <string>

#include "scan/jobstate/TrueUpStateDoc.h"

class TrueUpStateManager : public XTrueUpStateDoc {
public:
    TrueUpStateManager() = default;
    TrueUpStateManager(int64_t jobId, int64_t lastSuccessFullJobId, int jobType, uint64_t jobRefTime,
                       bool trueUpDCReadyForScan, bool laptopBackup)
        : jobId(jobId), lastSuccessFullJobId(lastSuccessFullJobId), jobType(jobType), jobRefTime(jobRefTime),
          trueUpDCReadyForScan(trueUpDCReadyForScan), laptopBackup(laptopBackup) {}

    // Writes the record into the file's JobInfo (keeping what else the file holds). A failed
    // save is logged, and the operation still succeeds: the TrueUp state is advisory.
    CKoError SaveStatetoDoc(const std::string& path);
    // Reads the record; attributes that are missing read as 0 (false). A load error is returned.
    CKoError LoadStateFromDoc(const std::string& path);

    int64_t jobId = 0;
    int64_t lastSuccessFullJobId = 0;
    int jobType = 0;
    uint64_t jobRefTime = 0;
    bool trueUpDCReadyForScan = false;
    bool queryIndex = false;
    bool laptopBackup = false;
};
