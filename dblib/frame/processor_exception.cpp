#include "frame/processor_exception.h"

#include <cstring>

#include "platform/diag.h"

namespace kdm {
namespace {

const char* AccessText(platform::FaultAccess access) {
    switch (access) {
    case platform::FaultAccess::Read:
        return "Read";
    case platform::FaultAccess::Write:
        return "Write";
    default:
        return "Undefined";
    }
}

[[noreturn]] void ThrowFault(const platform::FaultInfo& fault) {
    EProcessorException e(fault);
    // Reported whatever the DebugOutput switch says.
    diag::Always("%s\n", e.Message());
    diag::EventLogError("%s", e.Message());
    throw e;
}

} // namespace

std::string EProcessorException::Describe(const platform::FaultInfo& fault) {
    std::string text = "EProcessorException:";
    uintptr_t relative = fault.regionBase != 0 ? fault.address - fault.regionBase : fault.address;
    text += Format(" %s at %lX (relative addr = %lX)", platform::FaultName(fault.code),
                   static_cast<unsigned long>(fault.address), static_cast<unsigned long>(relative));
    if (fault.access != platform::FaultAccess::None)
        text += Format(" (%s access to %lX)", AccessText(fault.access),
                       static_cast<unsigned long>(fault.accessAddress));
    return text;
}

EProcessorException::EProcessorException(const platform::FaultInfo& fault)
    : EException(Describe(fault), static_cast<int32_t>(static_cast<uint32_t>(fault.address)),
                 static_cast<int32_t>(fault.code)) {
    std::memset(&m_record, 0, sizeof m_record);
    m_record.code = fault.code;
    m_record.address = static_cast<uint32_t>(fault.address);
    if (fault.access != platform::FaultAccess::None) {
        m_record.parameterCount = 2;
        m_record.parameters[0] = fault.access == platform::FaultAccess::Write ? 1u : 0u;
        m_record.parameters[1] = static_cast<uint32_t>(fault.accessAddress);
    }
}

void InstallProcessorFaultHandler() {
    platform::InstallFaultHandlers(&ThrowFault);
}

} // namespace kdm
