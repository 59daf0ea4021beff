#include "server/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace refserver {

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

bool ServerProcess::Start(const std::string& path, int iSeconds, const std::string& output,
                          std::string* pError) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *pError = "pipe failed";
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::string seconds = std::to_string(iSeconds);
    std::vector<char*> argv = {const_cast<char*>(path.c_str()), const_cast<char*>("--seconds"),
                               &seconds[0], nullptr};
    int iSpawned = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    fdInput_ = fds[1];
    if (iSpawned != 0) {
        pid_ = -1;
        *pError = "cannot start " + path + ": " + std::strerror(iSpawned);
        return false;
    }
    const std::string prefix = "vorel-server listening on 127.0.0.1:";
    Clock::time_point start = Clock::now();
    while (MsSince(start) < 10000) {
        std::ifstream in(output);
        std::string line;
        if (std::getline(in, line) && line.rfind(prefix, 0) == 0) {
            wPort_ = static_cast<uint16_t>(std::atoi(line.c_str() + prefix.size()));
            return wPort_ != 0;
        }
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    *pError = "the server printed no port (see " + output + ")";
    return false;
}

bool ServerProcess::Command(const std::string& command) {
    std::string line = command + "\n";
    return fdInput_ >= 0 &&
           write(fdInput_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

void ServerProcess::Stop() {
    if (pid_ > 0) {
        Command("quit");
        Clock::time_point start = Clock::now();
        while (waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (MsSince(start) > 5000) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = -1;
    }
    if (fdInput_ >= 0) close(fdInput_);
    fdInput_ = -1;
}

}  // namespace refserver
