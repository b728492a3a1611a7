// Writes TrueUp DirChange items into a DirChange container in batches: items are cached and
// written 15000 at a time, each batch in one transaction. A file's parent folder is made when the
// container lacks it (with metadata from the formatter); without a formatter such an item is
// skipped. A database error fails the batch rather than dropping items silently: a record that
// lacks items would report them as differences.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "agent/ContentContainer.h"
#include "core/KoError.h"
#include "scan/trueup/TrueUpContentContainerFormatter.h"
#include "scan/trueup/TrueUpDirChangeItem.h"

class CTrueUpContentContainerBuffer {
public:
    static constexpr int kBatchSize = 15000;

    // The container must be open for writing.
    explicit CTrueUpContentContainerBuffer(std::shared_ptr<CX::CContentContainer> container);
    // Completes what is left; a failure is only logged.
    ~CTrueUpContentContainerBuffer();
    CTrueUpContentContainerBuffer(const CTrueUpContentContainerBuffer&) = delete;
    CTrueUpContentContainerBuffer& operator=(const CTrueUpContentContainerBuffer&) = delete;

    void SetFormatter(std::shared_ptr<ITrueUpContentContainerFormatter> formatter) { m_formatter = std::move(formatter); }
    // Writes the batch once it holds kBatchSize items.
    CKoError AddItem(const CTrueUpDirChangeItemPtr& item);
    CKoError FlushItems();
    // FlushItems, then the container's own queue.
    CKoError Complete();
    // Drops the cached items unwritten (a build that failed).
    void Discard() { m_cached.clear(); }

    size_t GetCachedCount() const { return m_cached.size(); }
    int GetBatchSize() const { return m_batchSize; }

private:
    struct CCachedItem {
        CTrueUpDirChangeItemPtr item;
    };
    CKoError WriteItem(const CTrueUpDirChangeItemPtr& item, int64_t now);
    CKoError FolderId(const std::string& folder, const CTrueUpDirChangeItemPtr& describedBy, bool parent, int64_t& id,
                      bool& found);

    std::shared_ptr<CX::CContentContainer> m_container;
    std::shared_ptr<FX::CDatabaseTransaction> m_transaction;
    std::shared_ptr<ITrueUpContentContainerFormatter> m_formatter;
    std::list<CCachedItem> m_cached;
    int m_batchSize = kBatchSize;
    // Items come folder by folder: the last folder looked up answers most questions.
    std::string m_lastFolder;
    int64_t m_lastFolderId = -1;
};
