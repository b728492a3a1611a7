// A TrueUp DirChange record kept in a DirChange container.
#pragma once

#include "scan/trueup/TrueUpContentContainerBuffer.h"
#include "scan/trueup/TrueUpDirChangeWriter.h"

class CTrueUpContainerDirChangeWriter : public CTrueUpDirChangeWriter {
public:
    explicit CTrueUpContainerDirChangeWriter(std::string name) : CTrueUpDirChangeWriter(std::move(name)) {}
    ~CTrueUpContainerDirChangeWriter() override;

    CKoError Open() override;
    CKoError AddItem(const std::string& path, bool folder, const CTrueUpDirChangeItemDataPtr& data) override;
    CKoError Complete(const std::string& origin, const std::string& query) override;
    void Abandon() override;

private:
    std::shared_ptr<CX::CContentContainer> m_container;
    std::unique_ptr<CTrueUpContentContainerBuffer> m_buffer;
};
