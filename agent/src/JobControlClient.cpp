#include <unistd.h>

#include "agent/RestoreServices.h"

ZYFileJobControlClient::ZYFileJobControlClient(std::string folder) : m_marker(std::move(folder) + "/JobInterrupted") {}

bool ZYFileJobControlClient::IsJobInterrupted() { return ::access(m_marker.c_str(), F_OK) == 0; }
