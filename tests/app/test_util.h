// Helpers for the app tests: a temporary directory, small file access and a child process runner.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace hdgrab::test {

struct ProcessResult {
    bool exited = false;  // ended through exit (not killed by a signal)
    int status = -1;      // exit status when exited, signal number otherwise
    std::string out;
    std::string err;
};

// Runs `argv` (argv[0] is the program path) with extra environment variables and its working
// directory `cwd` (empty: unchanged); collects standard output and standard error.
inline ProcessResult run_process(const std::vector<std::string>& argv,
                                 const std::map<std::string, std::string>& extra_env = {},
                                 const std::string& cwd = {}) {
    TempDir capture;
    const std::string out_path = capture / "out";
    const std::string err_path = capture / "err";

    std::map<std::string, std::string> env_map;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string item(*entry);
        const auto eq = item.find('=');
        if (eq != std::string::npos) {
            env_map[item.substr(0, eq)] = item.substr(eq + 1);
        }
    }
    for (const auto& [key, value] : extra_env) {
        env_map[key] = value;
    }
    std::vector<std::string> env_items;
    for (const auto& [key, value] : env_map) {
        env_items.push_back(key + "=" + value);
    }
    std::vector<char*> env_ptrs;
    for (auto& item : env_items) {
        env_ptrs.push_back(item.data());
    }
    env_ptrs.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> arg_ptrs;
    for (auto& arg : args) {
        arg_ptrs.push_back(arg.data());
    }
    arg_ptrs.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!cwd.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    }
    pid_t pid = -1;
    const int rc =
        ::posix_spawn(&pid, arg_ptrs[0], &actions, nullptr, arg_ptrs.data(), env_ptrs.data());
    posix_spawn_file_actions_destroy(&actions);
    ProcessResult result;
    if (rc != 0) {
        result.err = "posix_spawn failed";
        return result;
    }
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result.exited = WIFEXITED(wstatus);
    result.status = result.exited ? WEXITSTATUS(wstatus) : WTERMSIG(wstatus);
    result.out = read_text(out_path);
    result.err = read_text(err_path);
    return result;
}

}  // namespace hdgrab::test
