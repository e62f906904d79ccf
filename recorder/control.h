// The control protocol of the recorder service: one command per line on
// standard input, one reply line on standard output ("OK ..." or
// "ERR ..."). The tests drive the service with it.
#pragma once

#include <string>

#include "recorder/recorder_server.h"

namespace kdm::recorder {

// The reply to one command line. *quit is set by QUIT.
std::string ExecuteControl(CRecorderServer& server, const std::string& line, bool* quit);

} // namespace kdm::recorder
