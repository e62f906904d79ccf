// kdmrecorder: the recorder's database service on one address. Prints
// "READY <address>" once it listens, then reads control commands from
// standard input until QUIT or end of input.
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include "recorder/control.h"
#include "recorder/recorder_server.h"

int main(int argc, char** argv) {
    using namespace kdm::recorder;
    // A vanished peer or controller is an error return, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    RecorderConfig config;
    std::string error;
    if (!ParseCommandLine(config, argc, argv, &error)) {
        std::printf("ERROR %s\n", error.c_str());
        return 2;
    }
    CRecorderServer server(config);
    if (!server.Start(&error)) {
        std::printf("ERROR %s\n", error.c_str());
        return 3;
    }
    std::printf("READY %s\n", config.address.c_str());
    std::fflush(stdout);
    bool quit = false;
    std::string line;
    while (!quit && std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string reply = ExecuteControl(server, line, &quit);
        std::printf("%s\n", reply.c_str());
        std::fflush(stdout);
    }
    server.Stop();
    return 0;
}
