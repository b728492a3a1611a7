#include "agent/SendEvent.h"

#include <utility>

#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/StringUtil.h"
#include "core/TimeStamp.h"

namespace {

std::mutex g_currentMutex;
std::shared_ptr<ISendEventInterface> g_current;

std::shared_ptr<ISendEventInterface> LogInterface() {
    static const std::shared_ptr<ISendEventInterface> log = std::make_shared<CLogSendEvent>();
    return log;
}

// Keeps an event on one line whatever its arguments hold.
void AppendOneLine(std::string& out, const std::string& text) {
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
}

}  // namespace

std::shared_ptr<ISendEventInterface> ISendEventInterface::Current() {
    std::lock_guard<std::mutex> lock(g_currentMutex);
    return g_current ? g_current : LogInterface();
}

std::shared_ptr<ISendEventInterface> ISendEventInterface::SetCurrent(std::shared_ptr<ISendEventInterface> events) {
    std::lock_guard<std::mutex> lock(g_currentMutex);
    std::shared_ptr<ISendEventInterface> previous = std::move(g_current);
    g_current = std::move(events);
    return previous;
}

std::string ISendEventInterface::Format(const SAgentEvent& event) {
    std::string line = FXString::Format("EventId=[0x%08X] Args=[", event.eventId);
    for (size_t i = 0; i < event.args.size(); ++i) {
        if (i > 0) line += '|';
        AppendOneLine(line, event.args[i]);
    }
    line += ']';
    return line;
}

CKoError CLogSendEvent::SendEvent(const SAgentEvent& event) {
    ZYLOG_ERROR("Agent event: %s", Format(event).c_str());
    return CKoError::Success();
}

CFileSendEvent::CFileSendEvent(const std::string& folder) : m_path(FXPath::Join(folder, "Events.txt")) {}

CKoError CFileSendEvent::SendEvent(const SAgentEvent& event) {
    const int64_t micros = FXEnv::Current()->NowMicros();
    std::string line = CTimeStamp::FromUnixTime(micros / 1000000, micros % 1000000).AsString() + " " + Format(event) + "\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    std::unique_ptr<FXWritableFile> file;
    CKoError e = FXEnv::Current()->NewWritableFile(m_path, EWriteMode::Append, file);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot open the events file, FileName=[%s]", m_path.c_str());
    e = file->Append(line);
    if (e.IsSuccess()) e = file->Close();
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to write an event, FileName=[%s]", m_path.c_str());
    return CKoError::Success();
}

CKoError CRecordingSendEvent::SendEvent(const SAgentEvent& event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(event);
    return CKoError::Success();
}

std::vector<SAgentEvent> CRecordingSendEvent::GetEvents() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}
