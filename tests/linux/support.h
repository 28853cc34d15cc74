// What the Linux tests share: reading /proc, and running the built program.
#ifndef HOISTER_TESTS_LINUX_SUPPORT_H
#define HOISTER_TESTS_LINUX_SUPPORT_H

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
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

inline std::vector<std::string> Files(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d))
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        closedir(d);
    }
    return names;
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

// The program as other users can run it, wherever the tree is: a copy in a
// folder that everyone may read, removed when the tests end.
inline const std::string& ProgramForEveryone() {
    static std::string copy;
    if (copy.empty()) {
        char dir[] = "/tmp/hoister-program-XXXXXX";
        if (!mkdtemp(dir) || chmod(dir, 0755) != 0) return copy;
        copy = std::string(dir) + "/hoister";
        std::ofstream(copy, std::ios::binary) << ReadFile(HOISTER_PROGRAM);
        chmod(copy.c_str(), 0755);
        std::atexit([] {
            unlink(copy.c_str());
            rmdir(copy.substr(0, copy.rfind('/')).c_str());
        });
    }
    return copy;
}

// What the tests start begins at Normal (nice 0), whatever nice value they
// run at, so that a change they check is one the program made. Only root may
// lower a nice value: elsewhere, off nice 0, a test that needs it skips.
inline void StartAtNormal() { setpriority(PRIO_PROCESS, 0, 0); }
inline bool StartsAtNormal() { return geteuid() == 0 || getpriority(PRIO_PROCESS, 0) == 0; }
#define SKIP_UNLESS_STARTS_AT_NORMAL() \
    if (!StartsAtNormal()) GTEST_SKIP() << "copies start at Normal only as root or at nice 0"

// Starts prefix words (e.g. a privilege dropper; then the program is a copy
// that everyone may read), then the words of HOISTER_TEST_WRAPPER (e.g. a
// memory checker), then the program with args, with standard output to out.
// The program gets the default action of SIGPIPE, SIGINT and SIGTERM, and
// descriptor 9 open without close-on-exec, as a careless caller may leave
// one. Returns its ID.
inline pid_t StartProgramTo(const std::vector<std::string>& prefix,
                            const std::vector<std::string>& args, int out) {
    std::vector<std::string> words = prefix;
    const char* wrapper = std::getenv("HOISTER_TEST_WRAPPER");
    std::istringstream wrapperWords(wrapper ? wrapper : "");
    for (std::string word; wrapperWords >> word;)
        words.push_back(word);
    words.push_back(prefix.empty() ? HOISTER_PROGRAM : ProgramForEveryone());
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t id = fork();
    if (id == 0) {
        signal(SIGPIPE, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        StartAtNormal();
        dup2(out, 1);
        dup2(out, 9);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return id;
}

// Waits for a program from StartProgram. Returns the exit status, -1 if killed.
inline int WaitProgram(pid_t id) {
    int status = -1;
    waitpid(id, &status, 0);
    if (!WIFEXITED(status)) return -1;
    const char* wrapper = std::getenv("HOISTER_TEST_WRAPPER");
    if (wrapper && *wrapper && WEXITSTATUS(status) == kWrapperErrorStatus) {
        ADD_FAILURE() << wrapper << " found errors running " << HOISTER_PROGRAM;
    }
    return WEXITSTATUS(status);
}

inline int RunProgramTo(const std::vector<std::string>& prefix,
                        const std::vector<std::string>& args, int out) {
    return WaitProgram(StartProgramTo(prefix, args, out));
}

// The same with standard output to the file at outPath.
inline pid_t StartProgram(const std::vector<std::string>& prefix,
                          const std::vector<std::string>& args, const std::string& outPath) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t id = StartProgramTo(prefix, args, out);
    close(out);
    return id;
}

inline int RunProgram(const std::vector<std::string>& prefix, const std::vector<std::string>& args,
                      const std::string& outPath) {
    return WaitProgram(StartProgram(prefix, args, outPath));
}

// Runs what follows as nobody, without capabilities (needs root).
const std::vector<std::string> kNobody = {"setpriv",         "--reuid=65534",
                                          "--regid=65534",   "--clear-groups",
                                          "--inh-caps=-all", "--bounding-set=-all"};

// A field of /proc/PID/task/TID/stat, numbered as in proc(5); -100 when the
// thread is gone.
inline long StatField(pid_t id, pid_t thread, int field) {
    std::string stat =
        ReadFile("/proc/" + std::to_string(id) + "/task/" + std::to_string(thread) + "/stat");
    if (stat.empty()) return -100;
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string value;
    for (int i = 3; i <= field; ++i)
        rest >> value;
    return std::atol(value.c_str());
}

// Copies of the sleeper helper under a unique path, so nothing else matches
// them; everything started is ended and reaped by ID.
class SleeperTest : public ::testing::Test {
  protected:
    // What the program launches outlives it; as subreaper we can reap it.
    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    void SetUp() override {
        char dir[] = "/tmp/hoister-XXXXXX";
        ASSERT_TRUE(mkdtemp(dir));
        dir_ = dir;
        ASSERT_EQ(chmod(dir, 0755), 0);  // the unprivileged runs read it
        marker_ = dir_.substr(5);
        // The name holds ") ", and so does the name field of /proc/PID/stat.
        file_ = "sleeper) " + marker_;
        path_ = dir_ + "/" + file_;
        std::ofstream(path_, std::ios::binary) << ReadFile(SLEEPER_PROGRAM);
        ASSERT_EQ(chmod(path_.c_str(), 0755), 0);
    }

    // Children of what we started were handed to us: reap until none is left.
    void TearDown() override {
        for (pid_t id : FindByPath(path_))
            started_.push_back(id);
        for (pid_t id : started_)
            kill(id, SIGKILL);
        while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
        }
        for (const std::string& file : Files(dir_))
            std::remove((dir_ + "/" + file).c_str());  // a file or an empty folder
        rmdir(dir_.c_str());
    }

    // Starts a copy with one argument (see sleeper.cpp); returns once it runs.
    // Given a path, a new copy there, run as nobody when asked.
    pid_t Start(const std::string& argument, std::string path = "", bool nobody = false) {
        if (!path.empty())
            std::ofstream(path + ".new", std::ios::binary) << ReadFile(SLEEPER_PROGRAM);
        if (!path.empty() &&
            (chmod((path + ".new").c_str(), 0755) || rename((path + ".new").c_str(), path.c_str())))
            return -1;
        int ready[2];
        if (pipe(ready) != 0) return -1;
        pid_t id = fork();
        if (id == 0) {
            StartAtNormal();
            dup2(ready[1], 1);
            if (nobody && (setgid(65534) || setuid(65534))) _exit(127);
            if (path.empty()) path = path_;
            execl(path.c_str(), path.c_str(), argument.c_str(), (char*)nullptr);
            _exit(127);
        }
        close(ready[1]);
        char line[8];
        if (read(ready[0], line, sizeof line) <= 0) id = -1;
        close(ready[0]);
        if (id > 0) started_.push_back(id);
        return id;
    }

    // Starts a copy whose main thread ends while another runs on; returns once
    // the kernel no longer names the process by its main thread (or after 2 s).
    pid_t StartOrphan() {
        const pid_t id = Start("orphan");
        if (id <= 0) return id;
        const std::string exe = "/proc/" + std::to_string(id) + "/exe";
        char link[16];
        for (int i = 0; i < 400 && readlink(exe.c_str(), link, sizeof link) > 0; ++i)
            usleep(5000);
        return id;
    }

    // Runs the program; its output lands in out_.
    int Run(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {}) {
        int status = RunProgram(prefix, args, dir_ + "/out");
        out_ = ReadFile(dir_ + "/out");
        return status;
    }

    // out_ without the two banner lines.
    std::string Body() const { return out_.substr(out_.find('\n', out_.find('\n') + 1) + 1); }

    std::string dir_, marker_, file_, path_, out_;
    std::vector<pid_t> started_;
};

#endif
