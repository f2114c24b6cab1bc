#pragma once

// Starts the development backend (tools/dev-backend) as a child process on a
// free loopback port for integration tests. Start-up and shut-down are
// bounded and the child is always reaped.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace ironpost::testing {

inline std::string DevBackendScript() {
    return std::string(IRONPOST_SOURCE_DIR) + "/tools/dev-backend/ironpost_dev_backend.py";
}

// True when python3 (with sqlite3) and the backend script are present.
inline bool DevBackendAvailable() {
    return ::access(DevBackendScript().c_str(), R_OK) == 0 &&
           std::system("python3 -c 'import sqlite3' >/dev/null 2>&1") == 0;
}

class DevBackendProcess {
  public:
    // `extra_args` are further serve options, for example {"--fault", "503"}.
    DevBackendProcess(const std::string& key_file, const std::string& db_path,
                      std::vector<std::string> extra_args = {}) {
        int pipe_fds[2];
        if (::pipe(pipe_fds) != 0) {
            return;
        }
        std::vector<std::string> args = {"python3", DevBackendScript(), "--port", "0",
                                         "--quiet", "--key-file",       key_file, "--db",
                                         db_path};
        args.insert(args.end(), extra_args.begin(), extra_args.end());
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const int spawned =
            ::posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe_fds[1]);
        stdout_fd_ = pipe_fds[0];
        if (spawned != 0) {
            pid_ = -1;
            return;
        }
        // The first stdout line is "listening 127.0.0.1:<port>".
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (line.find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd ready{stdout_fd_, POLLIN, 0};
            if (::poll(&ready, 1, 200) <= 0) {
                continue;
            }
            char buffer[256];
            const ssize_t count = ::read(stdout_fd_, buffer, sizeof(buffer));
            if (count <= 0) {
                break;
            }
            line.append(buffer, static_cast<std::size_t>(count));
        }
        const std::size_t colon = line.rfind(':');
        if (line.rfind("listening ", 0) == 0 && colon != std::string::npos) {
            port_ = std::atoi(line.c_str() + colon + 1);
        }
    }

    ~DevBackendProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            bool reaped = false;
            for (int i = 0; i < 250 && !reaped; ++i) {
                reaped = ::waitpid(pid_, &status, WNOHANG) == pid_;
                if (!reaped) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            }
            if (!reaped) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
        }
        if (stdout_fd_ >= 0) {
            ::close(stdout_fd_);
        }
    }

    DevBackendProcess(const DevBackendProcess&) = delete;
    DevBackendProcess& operator=(const DevBackendProcess&) = delete;

    // The bound port, or 0 when the backend did not start.
    int Port() const { return port_; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  private:
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    int port_ = 0;
};

}  // namespace ironpost::testing
