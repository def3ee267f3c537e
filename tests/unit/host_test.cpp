// The host on the fake platform, for what the real SCM under Wine cannot show:
// a call or an allocation failing at the Nth use, a stop at each point of the
// start, the shutdown control, the tones, the remove command's dots while a
// stop stays pending, and the bytes the host hands to the registry.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
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

enum Setup { kPrimed = 1, kNoParameters = 2, kNoApp = 4, kFullLine = 8, kOlderUps = 16 };

// A fresh machine with this copy in C:\agents\site3 and the Parameters of an
// existing child, less or more what `setup` says.
void Fresh(int setup) {
    sim::Reset();
    ResetServiceRun();
    if (!(setup & kNoParameters)) {
        g.keys[kParams][u"APPLICATION"] = {REG_SZ, Sz(u"C:\\apps\\child.exe")};
        g.keys[kParams][u"APPDIRECTORY"] = {REG_SZ, Sz(u"C:\\apps")};
        g.keys[kParams][u"APPPARAMETERS"] = {
            REG_SZ, setup & kFullLine ? Sz(std::u16string(1024, u'x'), false) : Sz(u"child /x")};
    }
    if (!(setup & kNoApp)) g.executables.insert(u"C:\\APPS\\CHILD.EXE");
    if (setup & kPrimed) g.keys[kUps + u"\\CONFIG"];
    if (setup & kOlderUps) g.keys[kUps][u"PORT"] = {REG_SZ, Sz(u"COM9")};
}

DWORD Entry(const char* option) {
    char name[] = "qelnhost.exe";
    std::string arg = option ? option : "";
    char* argv[] = {name, &arg[0], nullptr};
    return ProcessEntry(option ? 2 : 1, argv);
}

void ExpectNoLeak() {
    EXPECT_EQ(0u, g.blocks.size());
    EXPECT_EQ(0u, g.handles.size());
}

// A service start as the SCM makes it: `controls` once RUNNING, then the
// child ends unless a stop was delivered, in which case the run must end by
// itself. Checks what every run holds: exit code 0, nothing left, and the
// order of the reports. Returns the log.
std::string Serve(const std::vector<DWORD>& controls = {}) {
    g.by_scm = true;
    DWORD code = 12345;
    std::atomic<bool> done{false};
    std::thread entry([&] {
        code = Entry(nullptr);
        done = true;
    });
    if (!controls.empty() && sim::WaitFor("r4 "))
        for (DWORD control : controls)
            sim::SendControl(control);
    // The child ends by itself once the run waits for it, unless a stop or
    // shutdown came: then the run must end within 2 s by itself.
    for (int ms = 0; !done; ++ms, std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        std::unique_lock<std::mutex> lock(sim::g_mutex);
        const bool stopped =
            g.log.find("C1 ") != std::string::npos || g.log.find("C5 ") != std::string::npos;
        if (stopped && ms > 2000) ADD_FAILURE() << "a stop left the child running: " << g.log;
        if ((g.waiting > 0 && g.controls.empty() && !stopped) || (stopped && ms > 2000)) {
            lock.unlock();
            sim::ExitChildren();
            ms = 0;
        }
    }
    entry.join();
    EXPECT_EQ(0u, code);
    EXPECT_EQ(0, static_cast<int>(std::count_if(g.children.begin(), g.children.end(),
                                                [](const auto& c) { return c.second; })))
        << "a child outlived the run";
    ExpectNoLeak();
    std::string reports;
    for (std::size_t at = g.log.find('r'); at != std::string::npos; at = g.log.find(" r", at + 1))
        reports += g.log[at == 0 ? 1 : at + 2];
    const bool began = g.log.find("r2 ") == 0 || g.log.find(" r2 ") != std::string::npos;
    EXPECT_EQ(std::string::npos, g.log.find('?')) << g.log;
    if (began) {
        EXPECT_EQ(reports.find('1'), reports.size() - 1) << "STOPPED not last and once: " << g.log;
        EXPECT_EQ(reports.rfind('3'), reports.find('3')) << "STOP_PENDING twice: " << g.log;
        EXPECT_TRUE(reports.find('3') == std::string::npos ||
                    reports.find('4', reports.find('3')) == std::string::npos)
            << "RUNNING after STOP_PENDING: " << g.log;
    }
    return g.log;
}

TEST(Host, ServiceRuns) {
    const struct {
        const char* what;
        int setup;
        std::vector<DWORD> controls;
        const char* fail_call;
        const char* stop_call;
        std::string log;
    } rows[] = {
        {"the child ends by itself", 0, {}, "", "", "r2 L r4 r1 S500 "},
        {"a stop", 0, {1}, "", "", "r2 L r4 C1 r3 T0 r1 S500 "},
        {"a shutdown", 0, {5}, "", "", "r2 L r4 C5 r3 T0 r1 S500 "},
        {"other controls are ignored", 0, {4, 2}, "", "", "r2 L r4 C4 C2 r1 S500 "},
        {"no Parameters key", kNoParameters, {}, "", "", "B2000/6000 r2 L! r1!2 B1000/6000 S500 "},
        {"no application", kNoApp, {}, "", "", "r2 L! r1!2 B1000/6000 S500 "},
        {"the launch denied", 0, {}, "CreateProcessW", "", "r2 L! r1!5 B1000/6000 S500 "},
        {"no handler", 0, {}, "RegisterServiceCtrlHandlerW", "", "S500 "},
        {"no first report", 0, {}, "SetServiceStatus", "", "r2x S500 "},
        {"a stop before START_PENDING",
         0,
         {},
         "",
         "RegisterServiceCtrlHandlerW",
         "C1 r2 r3 r1 S500 "},
        {"a stop during the launch", 0, {}, "", "CreateProcessW", "r2 C1 r3 L T0 r1 S500 "},
        {"a stop during a failed launch", kNoApp, {}, "", "CreateProcessW", "r2 C1 r3 L! r1 S500 "},
        {"a command line that fills its buffer", kFullLine, {}, "", "", "r2 L r4 r1 S500 "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Fresh(row.setup);
        g.fail_call = row.fail_call;
        g.stop_call = row.stop_call;
        EXPECT_EQ(row.log, Serve(row.controls));
        if (row.setup & kFullLine) {
            EXPECT_EQ(std::string(1024, 'x'), g.launch);
        }
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
            (job == 1 ? g.stop_at : g.fail_at) = n;
            g.children_wait = job == 1;
            if (job < 2) {
                Serve();
            } else {
                const DWORD code = Entry(job == 2 ? "-install" : "-remove");
                const bool there = g.services.count(u"QELN3") != 0;
                ExpectNoLeak();
                if (job == 2) {
                    EXPECT_EQ(there ? "QELN3 installed.\n" : "", g.console);
                    EXPECT_EQ(g.failed == "CreateServiceW" ? 0xFFFFFFFF : 0u, code);
                } else {
                    EXPECT_EQ(!there, g.console.find("QELN3 removed.\n") != std::string::npos);
                    EXPECT_EQ(0u, code);
                }
            }
            if (testing::Test::HasFailure() || g.uses < n) break;
        }
    }
}

TEST(Host, ConsoleCommands) {
    const struct {
        const char16_t* module;
        sim::Service service;  // state 0: not installed
        const char* option;
        const char* fail_call;
        const char* console;
        DWORD code;
        bool installed;
    } rows[] = {
        {u"C:\\agents\\site3\\qelnhost.exe", {0}, "-install", "", "QELN3 installed.\n", 0, true},
        {u"C:\\agents\\site3\\qelnhost.exe", {1}, "/INSTALL", "", "", 0xFFFFFFFF, true},
        {u"C:\\host.exe", {0}, "-Install", "", "QELN: installed.\n", 0, true},
        {u"C:\\site3\\qelnhost.exe", {1}, "/x", "", "", 0, true},
        {u"C:\\site3\\qelnhost.exe",
         {4, 0, 1},
         "-remove",
         "",
         "Stopping QELN3.~\nQELN3 stopped.\nQELN3 removed.\n",
         0,
         false},
        {u"C:\\site3\\qelnhost.exe",
         {4, 3, 1},
         "-remove",
         "",
         "Stopping QELN3.~.~.~.~\nQELN3 stopped.\nQELN3 removed.\n",
         0,
         false},
        {u"C:\\site3\\qelnhost.exe",
         {4, 1, 2},
         "-remove",
         "",
         "Stopping QELN3.~.~\nQELN3 failed to stop.\nQELN3 removed.\n",
         0,
         false},
        {u"C:\\site3\\qelnhost.exe", {1}, "-remove", "", "QELN3 removed.\n", 0, false},
        {u"C:\\site3\\qelnhost.exe", {1}, "-remove", "DeleteService", "", 0, true},
        {u"C:\\site3\\qelnhost.exe", {0}, "/remove", "", "", 0, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.console);
        Fresh(0);
        g.module = row.module;
        if (row.service.state != 0) g.services[u"QELN3"] = row.service;
        g.fail_call = row.fail_call;
        EXPECT_EQ(row.code, Entry(row.option));
        EXPECT_EQ(row.console, g.console);
        EXPECT_EQ(row.installed, g.services.size() == 1);
        ExpectNoLeak();
    }
    // A path longer than 260 characters: the name still comes from the
    // directory that really holds the copy.
    Fresh(0);
    g.module = u"C:\\" + std::u16string(300, u'a') + u"Z\\qelnhost.exe";
    EXPECT_EQ(0u, Entry("-install"));
    EXPECT_EQ("QELNZ installed.\n", g.console);
}

// What the host hands to the registry, which Windows would mend: every
// string it writes carries its terminator. A Config key that cannot be made
// ends the configuration: the older values under the UPS key stay; likewise
// for Status.
TEST(Host, PrimingBytes) {
    Fresh(0);
    g.keys[kUps][u"OPTIONS"] = {REG_DWORD, std::string(1, '\x81')};  // one byte
    Serve({});
    int strings = 0;
    for (const auto& key : g.keys) {
        for (const auto& value : key.second) {
            if (value.second.type != REG_SZ || key.first.find(kUps) != 0) continue;
            ++strings;
            const std::string& b = value.second.bytes;
            std::size_t end = 0;  // the first 0 character
            while (end + 1 < b.size() && (b[end] | b[end + 1]) != 0)
                end += 2;
            EXPECT_EQ(b.size(), end + 2) << "without its terminator: "
                                         << std::string(value.first.begin(), value.first.end());
        }
    }
    EXPECT_EQ(11 + 4 + 2, strings);  // providers, Config's and Status's strings (upgrade: no Port)
    EXPECT_EQ(std::string("\1\0\0\0", 4), g.keys[kUps + u"\\CONFIG"][u"UPGRADE"].bytes);

    Fresh(kOlderUps);
    g.denied = {kUps + u"\\CONFIG", kUps + u"\\STATUS"};
    g.keys[kUps + u"\\STATUS"][u"SERIALNUMBER"] = {REG_SZ, Sz(u"X")};
    Serve({});
    EXPECT_EQ(1u, g.keys[kUps].size()) << "values written under the UPS key without Config";
    EXPECT_EQ(1u, g.keys[kUps + u"\\STATUS"].size()) << "Status written though not created";
}

}  // namespace
