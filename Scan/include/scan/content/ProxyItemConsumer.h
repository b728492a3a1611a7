// The base of the item consumers that write paths as the protected machine sees them: items come
// with local (proxy) paths and an optional content mapper turns them into source (host) paths.
#pragma once

#include <memory>
#include <string>

#include "agent/Item.h"
#include "scan/content/ContentMapper.h"

class CProxyItemConsumer : public CItemConsumer {
public:
    explicit CProxyItemConsumer(long long id) : CItemConsumer(id) {}
    ~CProxyItemConsumer() override;

    virtual void SetContentMapper(std::shared_ptr<ContentMapperAPI> mapper);
    // Without a mapper the path is taken as it is. A mapper that cannot convert the path gives
    // Win32 code 87.
    virtual CKoError TranslateToSourcePath(const std::string& local, std::string& source);

protected:
    std::shared_ptr<ContentMapperAPI> m_contentMapper;
};
