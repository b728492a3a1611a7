// One content string (a path, a filter, an extension pattern) with the context it is read in.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "scan/content/ContentContext.h"

class CContentItem {
public:
    CContentItem() = default;
    explicit CContentItem(std::string content, CContentContextPtr context = nullptr)
        : m_content(std::move(content)), m_context(std::move(context)) {}

    const std::string& GetContent() const { return m_content; }
    // May be null: the default context.
    const CContentContextPtr& GetContext() const { return m_context; }

private:
    std::string m_content;
    CContentContextPtr m_context;
};

using CContentItemPtr = std::shared_ptr<CContentItem>;
using CContentItemList = std::vector<CContentItemPtr>;
