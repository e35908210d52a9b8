// The diagnostic log, the stopwatch, date texts and the small system helpers.
//
// The log decides once per process whether it is enabled, so every log case
// runs in a forked child whose application-support folder is a temporary
// folder (never the user's own); the parent inspects the files it left.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "DiagnosticLog.h"
#include "RhPath.h"
#include "RhTime.h"
#include "RhUtils.h"
#include "Stopwatch.h"
#include "TestSupport.h"

namespace {

std::string sAppSupport;  // the application-support folder the children see

int tempAppSupport(char** out) {
    *out = strdup(sAppSupport.c_str());
    return 1;
}

// Runs body (returning an exit code) in a child process pointed at
// sAppSupport; returns the child's exit status, -1 when it did not exit.
template <typename Body>
int runChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        RhPath::setApplicationSupportLookupForTests(tempAppSupport);
        exit(body());  // exit, not _exit: sanitizers report at exit
    }
    if (pid < 0) return -2;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct EventLine {
    long long delta, now;
    std::string text;
};

long long parseGrouped(const std::string& s) {
    std::string digits;
    for (char c : s)
        if (c != ',') digits += c;
    return std::stoll(digits);
}

// The event lines of a log text (lines that carry a stamp).
std::vector<EventLine> eventLines(const std::string& log) {
    static const std::regex stamp(R"(^(-?\d{1,3}(?:,\d{3})*) / (\d{1,3}(?:,\d{3})*) usec - (.*)$)");
    std::vector<EventLine> lines;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(start, end - start);
        std::smatch m;
        if (std::regex_match(line, m, stamp)) lines.push_back({parseGrouped(m[1]), parseGrouped(m[2]), m[3]});
        start = end + 1;
    }
    return lines;
}

size_t occurrences(const std::string& text, const std::string& pattern) {
    size_t n = 0;
    for (size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at + 1)) ++n;
    return n;
}

class DiagnosticLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        sAppSupport = dir.file("AppSupport");
        folder = sAppSupport + "/" + DiagnosticLog::kCentralFolderName;
    }
    void enableDiagnostics() { dir.write("AppSupport/Quillorantics/DiagnosticsEnabled.txt", ""); }
    std::string logFile(const char* name = "QuilloranticsLogFile") const { return folder + "/" + name + ".txt"; }
    static bool exists(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }

    rhtest::TempDir dir;
    std::string folder;
};

TEST_F(DiagnosticLogTest, SilentWithoutTheMarkerFile) {
    int status = runChild([] {
        bool first = DiagnosticLog::initialize("QuilloranticsLogFile");
        DiagnosticLog::addEventToLog("nobody reads %d", 1);
        bool again = DiagnosticLog::initialize("QuilloranticsLogFile");
        return first || again ? 1 : 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(exists(logFile()));
}

TEST_F(DiagnosticLogTest, WritesHeaderPerformanceTestAndEventLines) {
    enableDiagnostics();
    const std::string snapshot = dir.file("snapshot.txt");
    int status = runChild([&] {
        DiagnosticLog::addEventToLog("hello %d", 42);
        DiagnosticLog::addEventToLog("%s", std::string(2000, 'x').c_str());
        DiagnosticLog::addEventToLog(nullptr);
        std::ofstream(snapshot) << rhtest::readFile(DiagnosticLog::sFullPathOfLogFile->getText());
        DiagnosticLog::clearLog();
        DiagnosticLog::addEventToLog("after clear");
        return DiagnosticLog::initialize("ignored") ? 0 : 1;
    });
    ASSERT_EQ(status, 0);

    const std::string log = rhtest::readFile(snapshot);
    EXPECT_TRUE(std::regex_search(
        log, std::regex(R"(^\n\n ==========  \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ===================== \n\n)")))
        << log.substr(0, 80);
    EXPECT_EQ(occurrences(log, " ==========  "), 1u);
    EXPECT_EQ(occurrences(log, "\n\n --- Begin computer performance test -------\n"), 1u);
    EXPECT_EQ(occurrences(log, "\n\n --- End computer performance test -------\n"), 1u);
    for (const char* step : {"usec - Before malloc\n", "usec - After malloc\n", "usec - After free\n",
                             "usec - After fopen on non-existent file\n",
                             "usec - After close and unlink on non-existent file\n"})
        EXPECT_EQ(occurrences(log, step), 10u) << step;

    std::vector<EventLine> lines = eventLines(log);
    ASSERT_GE(lines.size(), 4u);
    // Each delta is measured from the previous event.
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].delta, lines[i].now - lines[i - 1].now) << "line " << i;
        EXPECT_GE(lines[i].delta, 0);
    }
    const size_t n = lines.size();
    EXPECT_EQ(lines[n - 3].text, "hello 42");
    EXPECT_EQ(lines[n - 2].text, std::string(1023, 'x'));  // cut to 1023 characters
    EXPECT_EQ(lines[n - 1].text, "");                       // a null format logs an empty text

    // clearLog empties the file; later events are appended without a header.
    const std::string after = rhtest::readFile(logFile());
    std::vector<EventLine> afterLines = eventLines(after);
    ASSERT_EQ(afterLines.size(), 1u) << after;
    EXPECT_EQ(afterLines[0].text, "after clear");
    EXPECT_EQ(occurrences(after, "\n"), 1u);
}

TEST_F(DiagnosticLogTest, ChosenNameAndConcurrentLinesStayWhole) {
    enableDiagnostics();
    const int kThreads = 4, kLines = 200;
    int status = runChild([&] {
        DiagnosticLog::setLogFileName("CustomLog");
        DiagnosticLog::setLogFileName("TooLate");  // the name is chosen once
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                std::string padding(300, 'a' + t);
                for (int i = 0; i < kLines; ++i) DiagnosticLog::addEventToLog("thread %d line %d %s", t, i, padding.c_str());
            });
        }
        for (std::thread& th : threads) th.join();
        return 0;
    });
    ASSERT_EQ(status, 0);
    EXPECT_FALSE(exists(logFile()));
    EXPECT_FALSE(exists(logFile("TooLate")));

    const std::string log = rhtest::readFile(logFile("CustomLog"));
    std::map<std::string, int> seen;
    for (const EventLine& line : eventLines(log)) {
        if (line.text.rfind("thread ", 0) != 0) continue;
        ++seen[line.text];
    }
    ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
    for (const auto& entry : seen) {
        EXPECT_EQ(entry.second, 1) << entry.first;
        int t = entry.first[7] - '0';
        EXPECT_EQ(entry.first.substr(entry.first.size() - 300), std::string(300, 'a' + t)) << "mixed line";
    }
}

TEST_F(DiagnosticLogTest, DisabledWhenTheLogFileCannotBeOpened) {
    enableDiagnostics();
    ASSERT_EQ(mkdir(logFile().c_str(), 0700), 0);  // a folder where the log file would be
    int status = runChild([] {
        DiagnosticLog::addEventToLog("lost");
        return DiagnosticLog::initialize("QuilloranticsLogFile") ? 1 : 0;
    });
    EXPECT_EQ(status, 0);
}

TEST(SoundUtils, CommaGrouping) {
    const std::pair<long long, const char*> cases[] = {
        {0, "0"},          {7, "7"},           {999, "999"},           {1000, "1,000"},
        {1500, "1,500"},   {10005, "10,005"},  {2345678, "2,345,678"}, {1000000, "1,000,000"},
        {-1234, "-1,234"}, {-999, "-999"},     {4294967296LL, "4,294,967,296"},
    };
    for (const auto& c : cases) EXPECT_STREQ(SoundUtils::formatIntegerWithCommas(c.first), c.second);

    // Four results stay valid at once.
    const char* a = SoundUtils::formatIntegerWithCommas(1500);
    const char* b = SoundUtils::formatIntegerWithCommas(2345678);
    const char* c = SoundUtils::formatIntegerWithCommas(1);
    const char* d = SoundUtils::formatIntegerWithCommas(22);
    EXPECT_STREQ(a, "1,500");
    EXPECT_STREQ(b, "2,345,678");
    EXPECT_STREQ(c, "1");
    EXPECT_STREQ(d, "22");
}

int sCalls = 0;
void countCall(void*) { ++sCalls; }

TEST(Stopwatch, OneShotCallbackRunsOnceAndFreesItsSlot) {
    Stopwatch watch;
    sCalls = 0;
    EXPECT_EQ(watch.registerCB(countCall, nullptr, 0, 0), 0);
    watch.advance();  // the first advance restarts every reference time
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    watch.advance();
    EXPECT_EQ(sCalls, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    watch.advance();
    EXPECT_EQ(sCalls, 1);
    EXPECT_EQ(watch.registerCB(countCall, nullptr, 0, 2), 0);  // the freed slot is reused

    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    watch.advance();
    EXPECT_EQ(sCalls, 2);  // a repeating callback
    watch.unregisterCB(countCall, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    watch.advance();
    EXPECT_EQ(sCalls, 2);
}

TEST(RhTime, DateTextsAreAppended) {
    RhString text("at ");
    RhTime::getFormattedDayAndTime(&text, 0);
    EXPECT_TRUE(std::regex_match(text.getText(), std::regex(R"(at \d{4}-\d\d-\d\d)"))) << text.getText();
    RhString withTime;
    RhTime::getFormattedDayAndTime(&withTime, 1);
    EXPECT_TRUE(std::regex_match(withTime.getText(), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})")))
        << withTime.getText();

    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    int year = local.tm_year + 1900;
    EXPECT_EQ(RhTime::currentMonth(), local.tm_mon);
    EXPECT_TRUE(RhTime::isBefore(0, year + 1));
    EXPECT_FALSE(RhTime::isBefore(11, year - 1));
    EXPECT_FALSE(RhTime::isBefore(local.tm_mon, year));
    EXPECT_TRUE(RhTime::isBefore(local.tm_mon + 1, year));
}

TEST(RhUtils, VersionNumbers) {
    struct Case {
        const char* text;  // null: no string at all
        int major, minor, patch;
    };
    const Case cases[] = {
        {nullptr, 999, 999, 999}, {"", 999, 999, 999},     {"1.2", 1, 2, 999},
        {"10.20.30.40", 10, 20, 30}, {"3", 3, 999, 999}, {"2.x.7", 2, 0, 7},
    };
    for (const Case& c : cases) {
        RhString text(c.text);
        int major = -1, minor = -1, patch = -1;
        RhUtils::extractVersionNumbers(c.text ? &text : nullptr, &major, &minor, &patch);
        EXPECT_EQ(major, c.major) << (c.text ? c.text : "null");
        EXPECT_EQ(minor, c.minor) << (c.text ? c.text : "null");
        EXPECT_EQ(patch, c.patch) << (c.text ? c.text : "null");
    }
    RhString text("5.6.7");
    RhUtils::extractVersionNumbers(&text, nullptr, nullptr, nullptr);  // null outputs are skipped
}

TEST(RhUtils, ParameterCodes) {
    EXPECT_EQ(RhEnumValue(0.5f), 25);
    EXPECT_EQ(RhEnumValue(0.0f), 0);
    EXPECT_EQ(RhEnumValue(0.98f), 49);
    EXPECT_EQ(RhEnumValue(0.99f), 50);
    EXPECT_EQ(RhEnumValue(1.0f), 100050);
    EXPECT_EQ(RhEnumValue(1e30f), 2147483647);  // clamped, not undefined
    EXPECT_FLOAT_EQ(RhFloatValue(25), 0.5f);
    EXPECT_FLOAT_EQ(RhFloatValue(50), 0.99f);
    EXPECT_FLOAT_EQ(RhFloatValue(200000), 1.0f);
}

}  // namespace
