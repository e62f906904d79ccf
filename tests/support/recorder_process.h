// Starts a kdmrecorder for a test on a loopback address of its own and
// talks to it through its control protocol on standard input and output.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kdm::test {

class RecorderProcess {
public:
    // Starts the service with `args` (without --address) on the first free
    // address of 127.0.0.2 to 127.0.0.249; check Started().
    explicit RecorderProcess(std::vector<std::string> args = {});
    // Stops the service if it still runs.
    ~RecorderProcess();
    RecorderProcess(const RecorderProcess&) = delete;
    RecorderProcess& operator=(const RecorderProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    const std::string& StartError() const { return m_startError; }
    const std::string& Address() const { return m_address; }
    pid_t Pid() const { return m_pid; }

    // One command line; its reply line, or "" when none came in time.
    std::string Command(const std::string& line, int64_t timeoutMs = 20000);
    // The counters of STATS by name.
    std::map<std::string, std::string> Stats();
    int64_t Stat(const std::string& name);
    // Polls STATS until the counter has the value; false after timeoutMs.
    bool WaitStat(const std::string& name, int64_t value, int64_t timeoutMs);
    // Resident memory of the service in KiB, -1 when unknown.
    int64_t ResidentKiB() const;

    // QUIT, then a kill after a grace time. The exit status (0 for a clean
    // end), or -1 when it had to be killed or died of a signal.
    int Stop();

private:
    bool Launch(const std::vector<std::string>& args, const std::string& address,
                bool* addressInUse);
    bool ReadLine(std::string* line, int64_t timeoutMs);
    void CloseFds();

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_pending;
    std::string m_address;
    std::string m_startError;
    int m_exitStatus = -1;
};

} // namespace kdm::test
