#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "io/log.h"
#include "log_capture.h"
#include "testutil.h"

namespace {

// Restores the settings a test changed.
struct LogSettings {
    unsigned mask = GetLogMask(), options = GetLogOptions();
    ~LogSettings() {
        SetLogMask(mask);
        SetLogOptions(options);
    }
};

const char* kDiskMgrFunc = "void CDiskMgr::LoadAllDisk()";

}  // namespace

TEST(Log, LineLayoutWithDefaultOptions) {
    LogCapture cap;
    ASSERT_TRUE(cap.ok());
    int n = Log(LOG_ERROR, kDiskMgrFunc, "./io/diskmgr.cpp", 57, nullptr, "load disk infor failed, disk no: %d \n", 3);
    const std::string tail = "ERROR: (57) CDiskMgr::LoadAllDisk(): load disk infor failed, disk no: 3 \n";
    // The count leaves out the time stamp.
    EXPECT_EQ(n, static_cast<int>(tail.size()));
    std::string text = cap.Text();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, std::regex(R"(^(\d{4})-(\d{1,2})-(\d{1,2}) (\d{1,2}):(\d{1,2}):(\d{1,2}) (.*\n)$)")))
        << text;
    EXPECT_EQ(m[7].str(), tail);
    // No zero padding in the time stamp.
    for (int i = 2; i <= 6; ++i) EXPECT_TRUE(m[i].str() == "0" || m[i].str()[0] != '0') << m[i].str();
}

TEST(Log, LevelsLabelsAndMask) {
    LogCapture cap;
    ASSERT_TRUE(cap.ok());
    EXPECT_GT(LOG_W("w \n"), 0);
    EXPECT_GT(LOG_V("v \n"), 0);
    // Dropped by the mask 0xD2: nothing is written and 0 is answered.
    EXPECT_EQ(LOG_D("debug %d \n", 1), 0);
    EXPECT_EQ(LV_LOG(LOG_INFO, "info \n"), 0);
    EXPECT_EQ(LV_LOG(LOG_ERRNO, "errno \n"), 0);
    EXPECT_EQ(LV_LOG(LOG_CRITICAL, "critical \n"), 0);
    std::string text = cap.Text();
    EXPECT_NE(text.find(" WARNING: ("), std::string::npos);
    EXPECT_NE(text.find(" VERBOSE: ("), std::string::npos);
    EXPECT_EQ(text.find("debug"), std::string::npos);
    EXPECT_EQ(text.find("info"), std::string::npos);
    EXPECT_EQ(text.find("critical"), std::string::npos);
    // The macros pass the qualified name of the calling function.
    EXPECT_NE(text.find("LevelsLabelsAndMask_Test::TestBody(): w \n"), std::string::npos) << text;
}

TEST(Log, TraceAlwaysPrintsTheFunction) {
    LogSettings keep;
    LogCapture cap;
    ASSERT_TRUE(cap.ok());
    SetLogOptions(LOGOPT_LEVEL | LOGOPT_LINE);  // function name off
    Log(LOG_TRACE, "int CDpt::LoadPartition()", "x.cpp", 7, nullptr, "t\n");
    Log(LOG_ERROR, "int CDpt::LoadPartition()", "x.cpp", 8, nullptr, "e\n");
    std::string text = cap.Text();
    EXPECT_NE(text.find("TRACE: (7) CDpt::LoadPartition(): t\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ERROR: (8) e\n"), std::string::npos) << text;
}

TEST(Log, FileNameOptions) {
    LogSettings keep;
    LogCapture cap;
    ASSERT_TRUE(cap.ok());
    SetLogOptions(LOGOPT_FILE);
    Log(LOG_ERROR, "f", "src/io/dpt.cpp", 1, nullptr, "a\n");
    SetLogOptions(LOGOPT_FILE | LOGOPT_SHORT_FILE);
    Log(LOG_ERROR, "f", "src/io/dpt.cpp", 1, nullptr, "b\n");
    Log(LOG_ERROR, "f", ".\\io\\dpt.cpp", 1, nullptr, "c\n");  // backslashes are no separators
    std::string text = cap.Text();
    EXPECT_NE(text.find(" src/io/dpt.cpp a\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" dpt.cpp b\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" .\\io\\dpt.cpp c\n"), std::string::npos) << text;
}

TEST(Log, MessageWithoutLineBreakRunsIntoTheNext) {
    LogCapture cap;
    ASSERT_TRUE(cap.ok());
    Log(LOG_ERROR, "f", "x", 1, nullptr, "first");
    Log(LOG_ERROR, "f", "x", 2, nullptr, "second\n");
    std::string text = cap.Text();
    EXPECT_NE(text.find("first2"), std::string::npos) << text;  // the next time stamp follows directly
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST(Log, ErrnoIsPreserved) {
    LogSettings keep;
    LogCapture cap;
    ASSERT_TRUE(cap.ok());
    errno = ENOSPC;
    LOG_E("written \n");
    EXPECT_EQ(errno, ENOSPC);
    errno = EROFS;
    LOG_D("filtered \n");
    EXPECT_EQ(errno, EROFS);
    // LOG_ERRNO prints the text of the errno current at entry.
    SetLogMask(kDefaultLogMask | LOG_ERRNO);
    errno = ENOENT;
    Log(LOG_ERRNO, "f", "x", 3, nullptr, "open");
    EXPECT_EQ(errno, ENOENT);
    std::string text = cap.Text();
    EXPECT_NE(text.find("ERROR: (3) f(): open: " + std::string(strerror(ENOENT)) + ".\n"), std::string::npos) << text;
}

TEST(Log, OpenLogFileResultsAndTruncation) {
    testutil::TempDir dir;
    EXPECT_EQ(OpenLogFile(nullptr), -1);
    EXPECT_EQ(OpenLogFile(std::string(260, 'a').c_str()), -2);
    EXPECT_EQ(OpenLogFile((dir / "missing/folder/x.log").c_str()), -3);

    std::string path = dir / "run.log";
    ASSERT_EQ(OpenLogFile(path.c_str()), 0);
    LOG_E("first run \n");
    // A failed open keeps the current file.
    EXPECT_EQ(OpenLogFile((dir / "missing/x.log").c_str()), -3);
    LOG_E("still first run \n");
    ASSERT_EQ(OpenLogFile(path.c_str()), 0);  // "w+": the second run starts empty
    LOG_E("second run \n");
    auto bytes = testutil::ReadFileBytes(path);
    std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.find("first run"), std::string::npos) << text;
    EXPECT_NE(text.find("second run"), std::string::npos) << text;
}

TEST(Log, QualifiedFunctionNames) {
    EXPECT_EQ(QualifiedFunctionName("int CDiskMgr::LoadAllDisk()"), "CDiskMgr::LoadAllDisk");
    EXPECT_EQ(QualifiedFunctionName("static IPlatform& ns::C::Get(int, char*)"), "ns::C::Get");
    EXPECT_EQ(QualifiedFunctionName("std::vector<std::pair<int, int> > X::List(const std::string&) const"), "X::List");
    EXPECT_EQ(QualifiedFunctionName("void X::operator()(int)"), "X::operator()");
    EXPECT_EQ(QualifiedFunctionName("DeviceOpen"), "DeviceOpen");
}

TEST(Log, DefaultPathFollowsTheStateFolder) {
    const char* old = getenv("XDG_STATE_HOME");
    std::string saved = old ? old : "";
    setenv("XDG_STATE_HOME", "/somewhere/state", 1);
    EXPECT_EQ(DefaultLogPath(), "/somewhere/state/lumivista/Lumivista.log");
    setenv("XDG_STATE_HOME", "", 1);
    std::string home = getenv("HOME") ? getenv("HOME") : "";
    if (!home.empty()) {
        EXPECT_EQ(DefaultLogPath(), home + "/.local/state/lumivista/Lumivista.log");
    }
    if (old) setenv("XDG_STATE_HOME", saved.c_str(), 1);
    else unsetenv("XDG_STATE_HOME");
}

TEST(Log, InitLogCreatesTheStateFolder) {
    testutil::TempDir dir;
    const char* old = getenv("XDG_STATE_HOME");
    std::string saved = old ? old : "";
    setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    InitLog();
    LOG_E("after init \n");
    if (old) setenv("XDG_STATE_HOME", saved.c_str(), 1);
    else unsetenv("XDG_STATE_HOME");
    auto bytes = testutil::ReadFileBytes(dir / "state/lumivista/Lumivista.log");
    std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find("after init"), std::string::npos);
}

namespace {

// Sets XDG_STATE_HOME for one test.
struct StateHome {
    explicit StateHome(const std::string& path) {
        const char* old = getenv("XDG_STATE_HOME");
        had = old != nullptr;
        if (old) saved = old;
        setenv("XDG_STATE_HOME", path.c_str(), 1);
    }
    ~StateHome() {
        if (had) setenv("XDG_STATE_HOME", saved.c_str(), 1);
        else unsetenv("XDG_STATE_HOME");
    }
    bool had = false;
    std::string saved;
};

std::string ReadText(const std::string& path) {
    auto bytes = testutil::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

// Another running program (here a child process) keeps its log whole: this
// run neither empties it nor writes into it, and logs to a file of its own.
TEST(Log, EachRunningProgramKeepsItsOwnLog) {
    testutil::TempDir dir;
    StateHome home(dir / "state");
    InitLog();
    const std::string first = LogPathForRun(1);
    ASSERT_EQ(CurrentLogPath(), first);
    OpenLogFile("/dev/null");  // this process lets go of it

    int toParent[2], toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    const pid_t child = fork();
    if (child == 0) {
        char c = 0;
        if (OpenLogFile(first.c_str()) != 0) _exit(1);
        LOG_E("child before \n");
        (void)!write(toParent[1], "x", 1);
        (void)!read(toChild[0], &c, 1);
        LOG_E("child after \n");
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(toParent[0], &c, 1), 1);
    InitLog();
    EXPECT_EQ(CurrentLogPath(), dir / "state/lumivista/Lumivista-2.log");
    LOG_E("second program \n");
    // Opening the held file directly is refused and changes nothing.
    EXPECT_EQ(OpenLogFile(first.c_str()), -4);
    EXPECT_EQ(CurrentLogPath(), dir / "state/lumivista/Lumivista-2.log");
    ASSERT_EQ(write(toChild[1], "x", 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const std::string held = ReadText(first);
    EXPECT_NE(held.find("child before \n"), std::string::npos) << held;
    EXPECT_NE(held.find("child after \n"), std::string::npos) << held;
    EXPECT_EQ(held.find('\0'), std::string::npos) << "no gap of zero bytes";
    EXPECT_EQ(held.find("second program"), std::string::npos);
    const std::string own = ReadText(dir / "state/lumivista/Lumivista-2.log");
    EXPECT_NE(own.find("second program \n"), std::string::npos) << own;

    // Once the first program has ended, the next run takes the first file
    // again and starts it empty.
    OpenLogFile("/dev/null");
    InitLog();
    EXPECT_EQ(CurrentLogPath(), first);
    EXPECT_EQ(ReadText(first), "");
    OpenLogFile("/dev/null");
    for (int run : {2, 9, 10}) EXPECT_EQ(LogPathForRun(run).substr(0, (dir / "state/lumivista/").size()),
                                         dir / "state/lumivista/");
    EXPECT_EQ(LogPathForRun(10), dir / "state/lumivista/Lumivista-pid" + std::to_string(getpid()) + ".log");
}

// A state folder that cannot be made (here a path through a file, which
// fails for root too): the log is a file of the run's own in the temp
// folder, never one put there beforehand; without a temp folder either,
// nothing is logged, and nothing reaches the program's output.
TEST(Log, UnwritableStateFolderFallsBackToTheTempFolder) {
    testutil::TempDir dir;
    testutil::WriteFileBytes(dir / "file", {'x'});
    StateHome home(dir / "file/state");
    const char* oldTmp = getenv("TMPDIR");
    const std::string savedTmp = oldTmp ? oldTmp : "";
    struct RestoreTmp {
        bool had;
        std::string saved;
        ~RestoreTmp() {
            if (had) setenv("TMPDIR", saved.c_str(), 1);
            else unsetenv("TMPDIR");
        }
    } restore{oldTmp != nullptr, savedTmp};
    ASSERT_EQ(mkdir((dir / "tmp").c_str(), 0700), 0);
    setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    const std::string own = dir / "tmp/Lumivista-pid" + std::to_string(getpid()) + ".log";

    InitLog();
    EXPECT_EQ(CurrentLogPath(), own);
    LOG_E("in the temp folder \n");
    EXPECT_NE(ReadText(own).find("in the temp folder \n"), std::string::npos);
    OpenLogFile("/dev/null");

    // A file of that name already there (a link to a file of someone
    // else's) is neither followed nor emptied.
    testutil::WriteFileBytes(dir / "victim", {'k', 'e', 'e', 'p'});
    ASSERT_EQ(unlink(own.c_str()), 0);
    ASSERT_EQ(symlink((dir / "victim").c_str(), own.c_str()), 0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    InitLog();
    const std::string path = CurrentLogPath();
    LOG_V("not shown \n");
    LOG_E("not shown either \n");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(path, "");
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(ReadText(dir / "victim"), "keep");

    // A log file opened later is written again.
    OpenLogFile((dir / "later.log").c_str());
    LOG_E("later \n");
    EXPECT_NE(ReadText(dir / "later.log").find("later \n"), std::string::npos);
    OpenLogFile("/dev/null");
}
