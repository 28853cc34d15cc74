// What the Linux tests share: reading /proc, and running the built program.
#ifndef HOISTER_TESTS_LINUX_SUPPORT_H
#define HOISTER_TESTS_LINUX_SUPPORT_H

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<pid_t> NumericEntries(const std::string& dir) {
    std::vector<pid_t> ids;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d))
            if (std::atoi(entry->d_name) > 0) ids.push_back(std::atoi(entry->d_name));
        closedir(d);
    }
    return ids;
}

inline std::vector<pid_t> FindByPath(const std::string& path) {
    std::vector<pid_t> found;
    char target[4096];
    for (pid_t id : NumericEntries("/proc")) {
        ssize_t n = readlink(("/proc/" + std::to_string(id) + "/exe").c_str(), target, 4096);
        if (n > 0 && path == std::string(target, n)) found.push_back(id);
    }
    return found;
}

// The status a memory checker exits with when it found errors or leaks.
const int kWrapperErrorStatus = 99;

// Runs prefix words (e.g. a privilege dropper), then the words of
// HOISTER_TEST_WRAPPER (e.g. a memory checker), then the program with args,
// with standard output to outPath. Returns the exit status, -1 if killed.
inline int RunProgram(const std::vector<std::string>& prefix, const std::vector<std::string>& args,
                      const std::string& outPath) {
    std::vector<std::string> words = prefix;
    const char* wrapper = std::getenv("HOISTER_TEST_WRAPPER");
    std::istringstream wrapperWords(wrapper ? wrapper : "");
    for (std::string word; wrapperWords >> word;)
        words.push_back(word);
    words.push_back(HOISTER_PROGRAM);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t id = fork();
    if (id == 0) {
        int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = -1;
    waitpid(id, &status, 0);
    if (!WIFEXITED(status)) return -1;
    if (wrapper && *wrapper && WEXITSTATUS(status) == kWrapperErrorStatus) {
        ADD_FAILURE() << wrapper << " found errors running " << HOISTER_PROGRAM;
    }
    return WEXITSTATUS(status);
}

#endif
