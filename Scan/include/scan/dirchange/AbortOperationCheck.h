// Asked by long operations (comparisons, index browses) between items: true stops them.
#pragma once

#include <memory>

class CAbortOperationCheck {
public:
    virtual ~CAbortOperationCheck() = default;
    // The default never aborts.
    virtual bool IsAborted() { return false; }
};

using CAbortOperationCheckPtr = std::shared_ptr<CAbortOperationCheck>;
