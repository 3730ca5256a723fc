#include "server_helpers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

// The test's environment with the entries "NAME=value" of `extra` in front.
std::vector<std::string> Environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env = extra;
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    return env;
}

int WaitFor(pid_t pid) {
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(ws)) return WEXITSTATUS(ws);
    return WIFSIGNALED(ws) ? 128 + WTERMSIG(ws) : -1;
}

// An anonymous file that takes a program's output, and its text once the
// program has ended.
int Capture() { return memfd_create("capture", MFD_CLOEXEC); }

std::string Slurp(int fd) {
    std::string text;
    char buf[4096];
    ssize_t n;
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buf, sizeof buf)) != 0) {
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    close(fd);
    return text;
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
    std::vector<std::string> env_strings = Environment(env);
    std::vector<char*> args = CStrings(argv);
    std::vector<char*> envp = CStrings(env_strings);
    const int out = Capture();
    const int err = Capture();
    const pid_t pid = out >= 0 && err >= 0 ? fork() : -1;
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (pid > 0) result.status = WaitFor(pid);
    result.out = Slurp(out);
    result.err = Slurp(err);
    return result;
}

std::unique_ptr<Server> Server::Start(const ServerOptions& options, std::string* error) {
    std::string dir = MakeTempDir();
    if (dir.empty()) {
        *error = "cannot create a temporary directory";
        return nullptr;
    }
    const std::string db = dir + "/arr_db.txt";
    WriteFile(db, options.db_text);
    std::vector<std::string> argv = {SERVER_BIN, "--sim", dir + "/chip.img", "--db", db,
                                     "--port", "0"};
    if (options.read_only) argv.push_back("--read-only");
    argv.insert(argv.end(), options.extra_args.begin(), options.extra_args.end());
    std::vector<std::string> env_strings = Environment(options.env);
    std::vector<char*> envp = CStrings(env_strings);
    constexpr uid_t kNobody = 65534;
    const bool drop_root = options.unprivileged && geteuid() == 0;
    if (drop_root) {
        chmod(dir.c_str(), 0777);  // the chip image is created there
        // A copy of the server in the temporary directory: the build tree
        // may sit below a directory that user cannot enter.
        const std::string copy = dir + "/kxcr-server";
        std::error_code ec;
        std::filesystem::copy_file(SERVER_BIN, copy, ec);
        chmod(copy.c_str(), 0755);
        argv[0] = copy;
    }
    std::vector<char*> args = CStrings(argv);
    const std::string out_path = dir + "/server.out";
    const std::string log_path = dir + "/server.log";
    const pid_t pid = fork();
    if (pid == 0) {
        // Its own process group, so that Stop also ends the children that
        // serve connections; and no server outlives a test that dies.
        setpgid(0, 0);
        int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out_fd < 0 || log_fd < 0) _exit(126);
        dup2(out_fd, STDOUT_FILENO);
        dup2(log_fd, STDERR_FILENO);
        if (drop_root && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
            _exit(126);
        // After the change of user, which clears it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    std::unique_ptr<Server> server(new Server(dir, pid, -1));
    // Up to ten seconds for its first line, "listening on 127.0.0.1:PORT".
    const std::string prefix = "listening on 127.0.0.1:";
    for (int i = 0; i < 1000 && server->pid_ > 0; ++i) {
        const std::string said = ReadFile(out_path);
        if (said.find('\n') != std::string::npos) {
            if (said.compare(0, prefix.size(), prefix) == 0)
                server->port_ = std::atoi(said.c_str() + prefix.size());
            break;
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid) server->pid_ = -1;
        usleep(10000);
    }
    if (server->port_ <= 0) {
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

std::unique_ptr<Server> StartOrFail(const ServerOptions& options) {
    std::string error;
    std::unique_ptr<Server> server = Server::Start(options, &error);
    EXPECT_NE(server, nullptr) << error;
    return server;
}

std::unique_ptr<kxsim::Chip> OpenChip(const Server& server) {
    std::string error;
    auto chip = kxsim::Chip::Open(server.image_path(), kxsim::Family::Zorvan, &error);
    EXPECT_NE(chip, nullptr) << error;
    return chip;
}

void ExpectCleanLog(const Server& server) {
    const std::string log = server.Log();
    EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
    EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
}

bool Eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 1000; ++i) {
        if (done()) return true;
        usleep(10000);
    }
    return done();
}

std::string Bracketed(const Args& args) {
    std::string s;
    for (const std::string& a : args) s += "[" + a + "]";
    return s;
}

std::string EntryLine(uint32_t gw, const std::string& name, uint32_t index,
                      const std::vector<uint32_t>& words) {
    char text[64];
    snprintf(text, sizeof text, "%x : ", gw);
    std::string line = text + (name.empty() ? "" : name + " : ");
    snprintf(text, sizeof text, "%3x : ", index);
    line += text;
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

const char kDone[] = "Program terminated normally\n";

void RemoteFixture::SetUp() {
    server_ = StartOrFail({db_});
    ASSERT_NE(server_, nullptr);
    chip_ = OpenChip(*server_);
    ASSERT_NE(chip_, nullptr);
    device_ = server_->RemoteName(kxsim::kZorvanPciconfName);
}

void RemoteFixture::TearDown() {
    if (server_) ExpectCleanLog(*server_);
}

RunResult RemoteFixture::Ramtrawl(const Args& args) const {
    Args argv = {RAMTRAWL_BIN, device_};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, server_->dir());
}

}  // namespace testsrv
