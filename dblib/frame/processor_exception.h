// A processor fault inside an export, raised as an exception.
#pragma once

#include <cstdint>

#include "frame/exceptions.h"
#include "platform/faults.h"

namespace kdm {

class EProcessorException : public EException {
public:
    // The fault record in the layout of the recorder platform's own: code,
    // flags, next record, address, parameter count, fifteen parameters.
    struct FaultRecord {
        uint32_t code;
        uint32_t flags;
        uint32_t next;
        uint32_t address;
        uint32_t parameterCount;
        uint32_t parameters[15];
    };
    static_assert(sizeof(FaultRecord) == 80);

    explicit EProcessorException(const platform::FaultInfo& fault);
    const FaultRecord& Record() const { return m_record; }
    static std::string Describe(const platform::FaultInfo& fault);

private:
    FaultRecord m_record;
};

// Installs the process-wide handler that raises EProcessorException.
void InstallProcessorFaultHandler();

} // namespace kdm
