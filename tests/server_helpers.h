// Test helpers: a kxcr-server serving a fresh simulated chip on a free
// loopback port, running a program with its output captured, and ramtrawl
// run against such a server.
#ifndef TESTS_SERVER_HELPERS_H
#define TESTS_SERVER_HELPERS_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim_helpers.h"

namespace testsrv {

using Args = std::vector<std::string>;

// Outcome of a finished program. `status` is the exit code, or 128 + the
// signal number when a signal ended it (as a shell reports it).
struct RunResult {
    std::string out;
    std::string err;
    int status = -1;
};

void ExpectRun(const RunResult& r, const std::string& out, int status = 0, const std::string& err = "");

// One run of a program: the words of its command line after a fixed start,
// what it prints and how it ends.
struct RunRow {
    Args args;
    std::string out;
    int status = 0;
    std::string err = "";
};

// Runs `command` followed by each row's words, one row after the other, in
// `cwd` with `env` added, and checks each outcome exactly.
void ExpectRuns(const Args& command, const std::vector<RunRow>& rows, const std::string& cwd = "",
                const Args& env = {});

// Runs argv[0] with its arguments in directory `cwd` (the caller's when
// empty), extra environment entries "NAME=value" added, and waits for it.
RunResult RunProgram(const Args& argv, const std::string& cwd = "", const Args& env = {});

struct ServerOptions {
    // The array database; it is also written as arr_db.txt into the server's
    // directory, so ramtrawl run there finds it.
    std::string db_text;
    bool read_only = false;
    Args extra_args = {};
    Args env = {};  // entries "NAME=value" added to its environment
    // Run as an ordinary user (nobody) when the test runs as root, so that
    // per-user limits bind it.
    bool unprivileged = false;
};

// One kxcr-server process on 127.0.0.1 with its own temporary directory,
// holding the chip image, the database and the server's standard error.
class Server {
public:
    // Starts the server and waits until it listens; null with the test
    // failed when it does not. The server dies with the thread that started
    // it, so that no server outlives a crashed test: start it from the
    // test's own thread.
    friend std::unique_ptr<Server> StartOrFail(const ServerOptions& options);
    // Stops the server and fails the test when its log holds a sanitizer
    // report: one of a finished session would otherwise go unnoticed.
    ~Server();

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string& dir() const { return dir_.path(); }  // arr_db.txt is in it
    std::string image_path() const { return dir_.image(); }
    // "127.0.0.1:PORT,NAME" with every '/' of the local name written as '@'.
    std::string RemoteName(const std::string& local_name) const;
    std::string Log() const;  // its standard error so far
    // Kills the server and every connection it serves, and reaps it.
    void Stop();

private:
    Server() = default;
    simtest::ChipDir dir_;
    pid_t pid_ = -1;
    int port_ = -1;
};

std::string ReadFile(const std::string& path);

// A server started with the options, or null with the test failed.
std::unique_ptr<Server> StartOrFail(const ServerOptions& options);
// The server's chip, opened to set knobs and look at entries; null with the
// test failed when it cannot be opened.
std::unique_ptr<kxsim::Chip> OpenChip(const Server& server);

// Polls `done` every 10 ms until it holds, for up to ten seconds: a test
// waits for an event, not for a time.
bool Eventually(const std::function<bool()>& done);

// One entry as ramtrawl prints it: "gw : [name : ]index : words".
std::string EntryLine(uint32_t gw, const std::string& name, uint32_t index, const std::vector<uint32_t>& words);
// The words the simulated chip holds in an entry never written.
std::vector<uint32_t> Unwritten(uint32_t gw, uint32_t index, unsigned words);

// The 16 entries of a two-word gateway at 40000 as ramtrawl dumps them,
// those in `written` holding their words.
std::string TopA(const std::string& name, const std::map<uint32_t, std::vector<uint32_t>>& written);

extern const char kDone[];  // "Program terminated normally\n"

}  // namespace testsrv

#endif  // TESTS_SERVER_HELPERS_H
