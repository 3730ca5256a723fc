#include "server_helpers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace testsrv {
namespace {

// argv/envp arrays prepared before fork: a child of a threaded test may only
// call async-signal-safe functions before exec.
std::vector<char*> CStrings(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

int DecodeStatus(int wstatus) {
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
    return -1;
}

int WaitFor(pid_t pid) {
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return DecodeStatus(wstatus);
}

// Reads both pipes to their end, whichever the program fills first.
void Drain(int out_fd, int err_fd, std::string* out, std::string* err) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {out, err};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
}

// Waits up to `timeout_ms` for the server's "listening on 127.0.0.1:PORT"
// line; returns the port, or -1 when the server ended or never said it.
int ReadListeningPort(int fd, int timeout_ms) {
    std::string line;
    while (line.find('\n') == std::string::npos) {
        pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return -1;
        line.append(buf, static_cast<size_t>(n));
    }
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.compare(0, prefix.size(), prefix) != 0) return -1;
    return std::atoi(line.c_str() + prefix.size());
}

}  // namespace

std::string MakeTempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kxsrvXXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) return "";
    return tmpl;
}

void RemoveTree(const std::string& dir) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     const std::vector<std::string>& env) {
    RunResult result;
    std::vector<std::string> env_strings = env;
    for (char** e = environ; *e != nullptr; ++e) env_strings.push_back(*e);
    std::vector<char*> args = CStrings(argv);
    std::vector<char*> envp = CStrings(env_strings);
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return result;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        return result;
    }
    Drain(out_pipe[0], err_pipe[0], &result.out, &result.err);
    result.status = WaitFor(pid);
    return result;
}

std::unique_ptr<Server> Server::Start(const ServerOptions& options, std::string* error) {
    std::string dir = MakeTempDir();
    if (dir.empty()) {
        *error = "cannot create a temporary directory";
        return nullptr;
    }
    const std::string db = dir + "/arr_db.txt";
    if (options.db_text.empty()) {
        std::error_code ec;
        std::filesystem::copy_file(options.db_path, db, ec);
        if (ec) {
            *error = "cannot copy " + options.db_path + ": " + ec.message();
            RemoveTree(dir);
            return nullptr;
        }
    } else {
        WriteFile(db, options.db_text);
    }
    std::vector<std::string> argv = {SERVER_BIN, "--sim", dir + "/chip.img", "--db", db,
                                     "--port", "0"};
    if (options.read_only) argv.push_back("--read-only");
    argv.insert(argv.end(), options.extra_args.begin(), options.extra_args.end());
    std::vector<char*> args = CStrings(argv);
    const std::string log_path = dir + "/server.log";

    int out_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        *error = "pipe failed";
        RemoveTree(dir);
        return nullptr;
    }
    pid_t pid = fork();
    if (pid == 0) {
        // Its own process group, so that Stop also ends the children that
        // serve connections; and no server outlives a test that dies.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log_fd < 0) _exit(126);
        dup2(log_fd, STDERR_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    if (pid < 0) {
        close(out_pipe[0]);
        *error = "fork failed";
        RemoveTree(dir);
        return nullptr;
    }
    int port = ReadListeningPort(out_pipe[0], 10000);
    close(out_pipe[0]);
    std::unique_ptr<Server> server(new Server(dir, pid, port));
    if (port <= 0) {
        *error = "server did not start; its log: " + server->Log();
        return nullptr;
    }
    return server;
}

Server::~Server() {
    Stop();
    RemoveTree(dir_);
}

void Server::Stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    WaitFor(pid_);
    pid_ = -1;
}

std::string Server::RemoteName(const std::string& local_name) const {
    std::string name = local_name;
    for (char& c : name) {
        if (c == '/') c = '@';
    }
    return "127.0.0.1:" + std::to_string(port_) + "," + name;
}

std::string Server::Log() const { return ReadFile(dir_ + "/server.log"); }

int Connect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace testsrv
