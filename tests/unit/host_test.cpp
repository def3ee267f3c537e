// The host on the fake platform, for what the real SCM under Wine cannot show:
// a call or an allocation failing at the Nth use, a stop at each point of the
// start, the shutdown control, the tones, the remove command's dots while a
// stop stays pending, and the bytes the host hands to the registry.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "service/entry.h"
#include "service/service_run.h"
#include "upsprime/upsprime.h"

using namespace platform;
using sim::g;

namespace {

const std::u16string kParams = u"SYSTEM\\CURRENTCONTROLSET\\SERVICES\\QELN3\\PARAMETERS";
const std::u16string kUps = u"SYSTEM\\CURRENTCONTROLSET\\SERVICES\\UPS";

std::string Sz(const std::u16string& text, bool terminated = true) {
    std::string out;
    for (char16_t c : text + (terminated ? std::u16string(1, 0) : u""))
        out += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return out;
}

// kFails7, kFails1, kFailsAll: the child ends by itself with 7, 1 or 0xFFFFFFFF (exit(-1)).
// clang-format off
enum Setup { kPrimed = 1, kNoParams = 2, kFullLine = 4, kOldUps = 8, kDword = 16, kFails7 = 32,
             kFails1 = 64, kFailsAll = 128 };
// clang-format on

// A fresh machine with this copy in C:\agents\site3 and the Parameters of an
// existing child, less or more what `setup` says.
void Fresh(int setup) {
    sim::Reset();
    ResetServiceRun();
    const std::u16string line = setup & kFullLine ? std::u16string(1024, u'x') : u"child /x";
    if (!(setup & kNoParams)) {
        g.keys[kParams][u"APPLICATION"] = {REG_SZ, Sz(u"C:\\apps\\child.exe")};
        g.keys[kParams][u"APPDIRECTORY"] = {REG_SZ, Sz(u"C:\\apps")};
        g.keys[kParams][u"APPPARAMETERS"] = {REG_SZ, Sz(line, !(setup & kFullLine))};
    }
    // Four bytes that would read as "C:" if the type were not looked at.
    if (setup & kDword) g.keys[kParams][u"APPLICATION"] = {REG_DWORD, {'C', 0, ':', 0}};
    if (setup & kPrimed) g.keys[kUps + u"\\CONFIG"];
    if (setup & kOldUps) g.keys[kUps][u"PORT"] = {REG_SZ, Sz(u"COM9")};
    if (setup & kOldUps) g.keys[kUps][u"OPTIONS"] = {REG_DWORD, "\x81"};  // one byte
    if (setup & kFails7) g.child_exit = 7;
    if (setup & kFails1) g.child_exit = 1;
    if (setup & kFailsAll) g.child_exit = 0xFFFFFFFF;
}

// The entry as the console (`option`) or the SCM (none) runs it; nothing may
// be left allocated or open afterwards.
DWORD Entry(const char* option) {
    char name[] = "qelnhost.exe";
    std::string arg = option ? option : "";
    char* argv[] = {name, &arg[0], nullptr};
    const DWORD code = ProcessEntry(option ? 2 : 1, argv);
    EXPECT_EQ(0u, g.blocks.size() + g.handles.size()) << "left allocated or open";
    return code;
}

// A service start as the SCM makes it. Checks what every run holds: exit
// code 0, no child left, the reports in order. Returns the log.
std::string Serve() {
    EXPECT_EQ(0u, Entry(nullptr));
    for (const auto& child : g.children)
        EXPECT_FALSE(child.second) << "a child outlived the run";
    // Once START_PENDING is in: RUNNING at most once, STOP_PENDING at most
    // once and never followed by RUNNING, STOPPED last and once.
    std::string reports;
    const std::string log = " " + g.log;
    for (std::size_t at = log.find(" r"); at != std::string::npos; at = log.find(" r", at + 1))
        reports += log[at + 2];
    const std::set<std::string> orders = {"21", "231", "241", "2431"};
    EXPECT_TRUE(log.find(" r2 ") == std::string::npos || orders.count(reports) != 0) << g.log;
    EXPECT_EQ(std::string::npos, g.log.find('?')) << g.log;
    return g.log;
}

TEST(Host, ServiceRuns) {
    const struct {
        const char* what;
        int setup;
        const char *fail_call, *send_call;
        std::vector<DWORD> send;
        std::string log;
    } rows[] = {
        // clang-format off
        {"a stop while RUNNING is reported", 0, "", "SetServiceStatus4", {1}, "r2 L J R C1 r4 r3 T0 r1 S500 "},
        {"a shutdown while the child runs", 0, "", "WaitForSingleObject", {5}, "r2 L J R r4 C5 r3 T0 r1 S500 "},
        {"other controls are ignored", 0, "", "WaitForSingleObject", {4, 2}, "r2 L J R r4 C4 C2 r1 S500 "},
        {"the child ends with 7", kFails7, "", "", {}, "r2 L J R r4 r1!1066/7 S500 "},
        {"the child ends with 1", kFails1, "", "", {}, "r2 L J R r4 r1!1066/1 S500 "},
        {"the child ends with 0xFFFFFFFF", kFailsAll, "", "", {}, "r2 L J R r4 r1!1066/4294967295 S500 "},
        {"its exit code cannot be read", kFails7, "GetExitCodeProcess", "", {}, "r2 L J R r4 r1 S500 "},
        {"a stop as it ends with 7", kFails7, "", "GetExitCodeProcess", {1}, "r2 L J R r4 C1 r3 T0x r1 S500 "},
        {"no job", 0, "CreateJobObjectW", "", {}, "r2 L R r4 r1 S500 "},
        {"a job without its limits", 0, "SetInformationJobObject", "", {}, "r2 L R r4 r1 S500 "},
        {"the job refuses the child", 0, "AssignProcessToJobObject", "", {}, "r2 L J! R r4 r1 S500 "},
        {"the child cannot be let run", 0, "ResumeThread", "", {}, "r2 L J T5 B1000/6000 r1!5 S500 "},
        {"no Parameters key", kNoParams, "", "", {}, "B2000/6000 r2 L! B1000/6000 r1!2 S500 "},
        {"the launch denied", 0, "CreateProcessW", "", {}, "r2 L! B1000/6000 r1!5 S500 "},
        {"no handler", 0, "RegisterServiceCtrlHandlerW", "", {}, "S500 "},
        {"no first report", 0, "SetServiceStatus2", "", {}, "r2x S500 "},
        {"a stop before START_PENDING", 0, "", "RegisterServiceCtrlHandlerW", {1}, "C1 r2 r3 r1 S500 "},
        {"a stop during the launch", 0, "", "CreateProcessW", {1}, "r2 C1 r3 L J R T0 r1 S500 "},
        {"a stop during a failed launch", kNoParams, "", "CreateProcessW", {1}, "B2000/6000 r2 C1 r3 L! r1 S500 "},
        {"an older configuration: the upgrade", kOldUps, "", "", {}, "r2 L J R r4 r1 S500 "},
        {"a command line that fills its buffer", kFullLine, "", "", {}, "r2 L J R r4 r1 S500 "},
        {"a REG_DWORD Application is missing", kDword, "", "", {}, "r2 L! B1000/6000 r1!2 S500 "},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Fresh(row.setup);
        g.fail_call = row.fail_call;
        g.send_call = row.send_call;
        g.send = row.send;
        EXPECT_EQ(row.log, Serve());
        EXPECT_EQ(row.setup & kFullLine ? std::u16string(1024, u'x') : g.launch, g.launch);
    }
}

// Every use of a service start (with the priming), and of each console
// command, failing in turn; and a stop delivered at every use of a start.
TEST(Host, EveryUseFailingOrStopped) {
    for (int job = 0; job < 4; ++job) {
        for (int n = 1;; ++n) {
            SCOPED_TRACE(testing::Message() << "job " << job << ", use " << n);
            Fresh(job == 1 ? kPrimed : 0);
            if (job == 3) g.services[u"QELN3"] = {SERVICE_RUNNING, 1, SERVICE_STOPPED};
            (job == 1 ? g.send_at : g.fail_at) = n;
            if (job < 2) Serve();
            const DWORD code = job < 2 ? 0 : Entry(job == 2 ? "-install" : "-remove");
            // The console says "installed." or "removed." exactly when it is
            // so; otherwise the exit code and a line on standard error say
            // that it is not.
            const bool said =
                g.console.find(job == 2 ? u"installed." : u"removed.") != std::string::npos;
            EXPECT_TRUE(job < 2 || said == (g.services.empty() == (job == 3)));
            // An install may warn who else could replace it, and still install.
            const bool warned = g.errors.empty() || g.errors.rfind(u"Warning: ", 0) == 0;
            EXPECT_TRUE(job < 2 || (said == (code == 0) && said == warned)) << code;
            if (testing::Test::HasFailure() || g.uses < n) break;
        }
    }
}

// The progress of a stop: a dot and a 1 s pause per query.
std::u16string Dots(int count) {
    std::u16string dots;
    while (count-- > 0)
        dots += u".~";
    return dots;
}

TEST(Host, ConsoleCommands) {
    const std::u16string site3 = u"C:\\site3\\qelnhost.exe";
    const char16_t* const denied =
        u": error 5 (access denied: run it from an elevated command prompt).\n";
    const struct {
        std::u16string module;
        sim::Service service;  // state 0: not installed
        const char *option, *fail_call;
        std::u16string console;
        const char16_t* errors;  // ends with `denied` unless it ends with "."
        DWORD code;
        bool installed;  // afterwards
    } rows[] = {
        // clang-format off
        {site3, {1}, "/INSTALL", "", u"", u"", 0xFFFFFFFF, true},
        // A path longer than 260 characters: named by the directory that holds it.
        {u"C:\\" + std::u16string(300, u'a') + u"Z\\qelnhost.exe", {0}, "-install", "", u"QELNZ installed.\n", u"", 0, true},
        {u"qelnhost.exe", {0}, "-install", "", u"", u"Install failed while building the service's names: error 161.\n", 161, false},
        {site3, {0}, "-install", "OpenSCManagerW", u"", u"Install failed while opening the service manager", 5, false},
        {site3, {0}, "-install", "CreateServiceW", u"", u"Install failed while creating the service QELN3", 0xFFFFFFFF, false},
        {site3, {0}, "-install", "GetNamedSecurityInfoW", u"QELN3 installed.\n", u"Warning: who may change C:\\site3\\qelnhost.exe cannot be read (error 5): ordinary users might replace qelnhost.exe, which runs as LocalSystem.\n", 0, true},
        {site3, {1}, "/x", "", u"", u"", 0, true},
        {site3, {4, 0, 1}, "-remove", "", u"Stopping QELN3.~\nQELN3 stopped.\nQELN3 removed.\n", u"", 0, false},
        {site3, {4, 3, 1}, "-remove", "", u"Stopping QELN3.~.~.~.~\nQELN3 stopped.\nQELN3 removed.\n", u"", 0, false},
        // A stop that makes no progress is given up after the service's wait
        // hint; one whose check point rises is waited for.
        {site3, {4, 1000, 1}, "-remove", "", u"Stopping QELN3.~" + Dots(15) + u"\nQELN3 failed to stop.\nQELN3 removed.\n", u"", 0, false},
        {site3, {4, 1000, 1, 3000}, "-remove", "", u"Stopping QELN3.~" + Dots(3) + u"\nQELN3 failed to stop.\nQELN3 removed.\n", u"", 0, false},
        {site3, {4, 20, 1, 15000, true}, "-remove", "", u"Stopping QELN3.~" + Dots(20) + u"\nQELN3 stopped.\nQELN3 removed.\n", u"", 0, false},
        {site3, {4, 1, 2}, "-remove", "", u"Stopping QELN3.~.~\nQELN3 failed to stop.\nQELN3 removed.\n", u"", 0, false},
        {site3, {1}, "-remove", "ControlService", u"QELN3 removed.\n", u"", 0, false},
        {site3, {1}, "-remove", "OpenSCManagerW", u"", u"Remove failed while opening the service manager", 5, true},
        {site3, {1}, "-remove", "OpenServiceW", u"", u"Remove failed while opening the service QELN3", 5, true},
        {site3, {1}, "-remove", "DeleteService", u"", u"Remove failed while deleting the service QELN3", 5, true},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.option + std::string(" ") + row.fail_call);
        Fresh(0);
        g.module = row.module;
        if (row.service.state != 0) g.services[u"QELN3"] = row.service;
        g.fail_call = row.fail_call;
        EXPECT_EQ(row.code, Entry(row.option));
        EXPECT_EQ(row.console, g.console);
        const std::u16string errors = row.errors;
        EXPECT_EQ(errors.empty() || errors.back() == u'\n' ? errors : errors + denied, g.errors);
        EXPECT_EQ(row.installed, g.services.size() == 1);
    }
}

// A Config key that cannot be made ends the configuration: the older values
// under the UPS key stay; likewise for Status. A provider key that cannot be
// made skips its row only.
TEST(Host, UpsKeysThatCannotBeMade) {
    Fresh(kOldUps);
    const std::u16string providers = kUps + u"\\SERVICEPROVIDERS\\";
    g.denied = {kUps + u"\\CONFIG", kUps + u"\\STATUS", providers + u"(NONE)"};
    g.keys[kUps + u"\\STATUS"][u"SERIALNUMBER"] = {REG_SZ, Sz(u"X")};
    Serve();
    EXPECT_EQ(2u, g.keys[kUps].size()) << "values written under the UPS key without Config";
    EXPECT_EQ(1u, g.keys[kUps + u"\\STATUS"].size()) << "Status written though not created";
    EXPECT_EQ(0u, g.keys.count(providers + u"(NONE)"));
    EXPECT_EQ(Sz(u"0x7f;"), g.keys[providers + u"GENERIC"][u"CUSTOM"].bytes) << "the next row";
}

}  // namespace
