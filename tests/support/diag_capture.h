// Points the library's diagnostic output at a temporary file for a test.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "platform/diag.h"

namespace kdm::test {

class DiagCapture {
public:
    explicit DiagCapture(bool enabled = true) {
        char name[] = "/tmp/kdm-diag-XXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0)
            close(fd);
        m_path = name;
        m_wasEnabled = diag::Enabled();
        setenv("KDM_DEBUG_OUTPUT", m_path.c_str(), 1);
        diag::ReopenDestination();
        diag::SetEnabled(enabled);
    }
    ~DiagCapture() {
        diag::SetEnabled(m_wasEnabled);
        unsetenv("KDM_DEBUG_OUTPUT");
        diag::ReopenDestination();
        std::remove(m_path.c_str());
    }
    DiagCapture(const DiagCapture&) = delete;
    DiagCapture& operator=(const DiagCapture&) = delete;

    std::string Text() const {
        std::ifstream in(m_path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    bool m_wasEnabled;
};

} // namespace kdm::test
