// Shared set-up of the fuzz targets.
#pragma once

#include <cstdlib>
#include <unistd.h>

#include "platform/config_store.h"
#include "platform/diag.h"

namespace kdm::fuzz {

// A broken contract is a finding: abort so the fuzzer keeps the input.
inline void Check(bool condition) {
    if (!condition)
        abort();
}

// The defaults the transport creates go to a store of the run's own, never
// the user's; diagnostics stay off so the fuzzer's output stays readable.
inline void PrepareOnce() {
    static const bool done = [] {
        char name[] = "/tmp/kdm-fuzz-reg-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0)
            close(fd);
        setenv("KDM_REGISTRY_FILE", name, 1);
        platform::ConfigStore::ResetDefaultForTesting();
        diag::SetEnabled(false);
        return true;
    }();
    (void)done;
}

} // namespace kdm::fuzz
