// Test helpers: a kxcr-server serving a fresh simulated chip on a free
// loopback port, and running a program with its output captured.
#ifndef TESTS_SERVER_HELPERS_H
#define TESTS_SERVER_HELPERS_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace testsrv {

// Outcome of a finished program. `status` is the exit code, or 128 + the
// signal number when a signal ended it (as a shell reports it).
struct RunResult {
    std::string out;
    std::string err;
    int status = -1;
};

// Runs argv[0] with its arguments in directory `cwd` (the caller's when
// empty), extra environment entries "NAME=value" added, and waits for it.
RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd = "",
                     const std::vector<std::string>& env = {});

struct ServerOptions {
    // The array database: its text, or the path of a file (used when db_text
    // is empty). It is also copied as arr_db.txt into the server's directory,
    // so ramtrawl run there finds it.
    std::string db_text;
    std::string db_path;
    bool read_only = false;
    // Further options for the server's command line.
    std::vector<std::string> extra_args;
};

// One kxcr-server process on 127.0.0.1 with its own temporary directory,
// holding the chip image, the database and the server's standard error.
class Server {
public:
    // Starts the server and waits until it listens; null with a reason on
    // failure. The server dies with the thread that started it, so that no
    // server outlives a crashed test: start it from the test's own thread.
    static std::unique_ptr<Server> Start(const ServerOptions& options, std::string* error);
    ~Server();  // stops the server and removes its directory
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // The temporary directory; arr_db.txt is in it.
    const std::string& dir() const { return dir_; }
    // Open it with kxsim::Chip::Open to set knobs the server's process sees.
    std::string image_path() const { return dir_ + "/chip.img"; }
    std::string db_path() const { return dir_ + "/arr_db.txt"; }
    // "127.0.0.1:PORT,NAME" with every '/' of the local name written as '@'.
    std::string RemoteName(const std::string& local_name) const;
    // What the server has written to standard error so far.
    std::string Log() const;
    // Kills the server and every connection it serves, and reaps it.
    void Stop();

private:
    Server(std::string dir, pid_t pid, int port) : dir_(std::move(dir)), pid_(pid), port_(port) {}
    std::string dir_;
    pid_t pid_;
    int port_;
};

// A fresh temporary directory (removed by the caller with RemoveTree).
std::string MakeTempDir();
void RemoveTree(const std::string& dir);
void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);

// A TCP connection to 127.0.0.1:port, or -1.
int Connect(int port);

}  // namespace testsrv

#endif  // TESTS_SERVER_HELPERS_H
