#include "server_helpers.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

extern char** environ;

namespace testsrv {
namespace {

// argv/envp arrays prepared before fork: a child of a threaded test may only
// call async-signal-safe functions before exec.
std::vector<char*> CStrings(const Args& strings) {
    std::vector<char*> out;
    for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// Starts argv[0] with the entries "NAME=value" of `env` added to the test's
// environment and its standard output and error on `out` and `err`;
// `in_child` runs in the child before the exec, and false ends the child.
pid_t Spawn(const Args& argv, const Args& env, int out, int err, const std::function<bool()>& in_child) {
    Args env_strings = env;
    for (char** e = environ; *e != nullptr; ++e) env_strings.push_back(*e);
    std::vector<char*> args = CStrings(argv), envp = CStrings(env_strings);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    if (dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0 || !in_child()) _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
}

int WaitFor(pid_t pid) {
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0)
        if (errno != EINTR) return -1;
    if (WIFEXITED(ws)) return WEXITSTATUS(ws);
    return WIFSIGNALED(ws) ? 128 + WTERMSIG(ws) : -1;
}

}  // namespace

void ExpectRun(const RunResult& r, const std::string& out, int status, const std::string& err) {
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.status, status);
}

void ExpectRuns(const Args& command, const std::vector<RunRow>& rows, const std::string& cwd,
                const Args& env) {
    for (const RunRow& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        Args argv = command;
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        ExpectRun(RunProgram(argv, cwd, env), row.out, row.status, row.err);
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

RunResult RunProgram(const Args& argv, const std::string& cwd, const Args& env) {
    const int out = memfd_create("out", MFD_CLOEXEC), err = memfd_create("err", MFD_CLOEXEC);
    const pid_t pid = Spawn(argv, env, out, err, [&] { return cwd.empty() || chdir(cwd.c_str()) == 0; });
    const int status = pid > 0 ? WaitFor(pid) : -1;
    // Each anonymous file is read from its start through a fresh open.
    const auto text = [](int fd) { return ReadFile("/proc/self/fd/" + std::to_string(fd)); };
    const RunResult r = {text(out), text(err), status};
    close(out);
    close(err);
    return r;
}

std::unique_ptr<Server> StartOrFail(const ServerOptions& options) {
    std::unique_ptr<Server> server(new Server());
    const std::string& dir = server->dir();
    Args argv = {SERVER_BIN, "--sim", server->image_path(), "--db", server->dir_.Write("arr_db.txt", options.db_text),
                 "--port",   "0"};
    if (options.read_only) argv.push_back("--read-only");
    argv.insert(argv.end(), options.extra_args.begin(), options.extra_args.end());
    constexpr uid_t kNobody = 65534;
    const bool drop_root = options.unprivileged && geteuid() == 0;
    if (drop_root) {
        chmod(dir.c_str(), 0777);  // the chip image is created there
        // A copy of the server in the temporary directory: the build tree
        // may sit below a directory that user cannot enter.
        argv[0] = dir + "/kxcr-server";
        std::error_code ec;
        std::filesystem::copy_file(SERVER_BIN, argv[0], ec);
        chmod(argv[0].c_str(), 0755);
    }
    const std::string out_path = dir + "/server.out";
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int log = open((dir + "/server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    server->pid_ = Spawn(argv, options.env, out, log, [&] {
        // Its own process group, so that Stop also ends the children that
        // serve connections; and no server outlives a test that dies (set
        // after the change of user, which clears it).
        return setpgid(0, 0) == 0 &&
               (!drop_root || (setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0)) &&
               prctl(PR_SET_PDEATHSIG, SIGKILL) == 0;
    });
    close(out);
    close(log);
    // Its first line is "listening on 127.0.0.1:PORT".
    std::string said;
    Eventually([&] {
        said = ReadFile(out_path);
        return said.find('\n') != std::string::npos || waitpid(server->pid_, nullptr, WNOHANG) != 0;
    });
    sscanf(said.c_str(), "listening on 127.0.0.1:%d\n", &server->port_);
    if (server->port_ <= 0) {
        ADD_FAILURE() << "server did not start; its log: " << server->Log();
        return nullptr;
    }
    return server;
}

Server::~Server() {
    Stop();
    const std::string log = Log();
    EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
    EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
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
    std::replace(name.begin(), name.end(), '/', '@');
    return "127.0.0.1:" + std::to_string(port_) + "," + name;
}

std::string Server::Log() const { return ReadFile(dir() + "/server.log"); }

std::unique_ptr<kxsim::Chip> OpenChip(const Server& server) {
    std::string error;
    auto chip = kxsim::Chip::Open(server.image_path(), kxsim::Family::Zorvan, &error);
    EXPECT_NE(chip, nullptr) << error;
    return chip;
}

bool Eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 1000; ++i) {
        if (done()) return true;
        usleep(10000);
    }
    return done();
}

std::string EntryLine(uint32_t gw, const std::string& name, uint32_t index, const std::vector<uint32_t>& words) {
    char text[128];
    snprintf(text, sizeof text, "%x : %s%3x : ", gw, name.empty() ? "" : (name + " : ").c_str(), index);
    std::string line = text;
    for (uint32_t w : words) {
        snprintf(text, sizeof text, "%08x ", w);
        line += text;
    }
    return line + "\n";
}

std::vector<uint32_t> Unwritten(uint32_t gw, uint32_t index, unsigned words) {
    std::vector<uint32_t> out;
    for (unsigned w = 0; w < words; ++w) out.push_back(kxsim::Chip::UnwrittenWord(gw, index, w));
    return out;
}

std::string TopA(const std::string& name, const std::map<uint32_t, std::vector<uint32_t>>& written) {
    std::string dump;
    for (uint32_t i = 0; i <= 0xf; ++i)
        dump += EntryLine(0x40000, name, i, written.count(i) ? written.at(i) : Unwritten(0x40000, i, 2));
    return dump;
}

const char kDone[] = "Program terminated normally\n";

}  // namespace testsrv
