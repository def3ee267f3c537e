// The fake platform, for the host's unit tests only: what Wine cannot show.
//
// A thin table over the platform calls. Every call that can fail, and every
// allocation, is one "use": the use numbered `fail_at` fails with
// ERROR_ACCESS_DENIED (an allocation with ERROR_NOT_ENOUGH_MEMORY) as its
// result or last error, and at the use numbered `send_at`
// the service's handler gets the controls `send` from the dispatcher's thread
// while the use goes on (a status report is the use "SetServiceStatus<state>").
// A launch of no application fails with ERROR_FILE_NOT_FOUND. A child ends by
// itself with `child_exit` when the host waits for it, unless a stop or
// shutdown was sent: then the host must end it within 2 s. Once STOPPED is
// reported, any call but the heap's and a pause is flagged: the process may be
// gone. Beside it, the least state the tests need:
// registry values in a map, installed services with a scripted answer to a
// stop, one dispatcher (the service entry on a thread of its own, controls on
// the dispatcher's, as on Windows), children as handles, live heap blocks and
// open handles. Tests set and read the state directly while no service runs.
#ifndef QELN_PLATFORM_SIM_SIM_H
#define QELN_PLATFORM_SIM_SIM_H

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim {

using platform::DWORD;

struct Value {
    DWORD type;
    std::string bytes;  // exactly as given to RegSetValueExW
};
struct Service {
    DWORD state = platform::SERVICE_STOPPED;  // RUNNING: a stop is accepted,
    int pending = 0;  // then `pending` queries answer STOP_PENDING, then `final_state`
    DWORD final_state = platform::SERVICE_STOPPED;
    DWORD wait_hint = 15000;
    bool progress = false;  // each STOP_PENDING answer with a new check point
    DWORD check_point = 1;
};
struct State {
    int uses = 0, fail_at = 0, send_at = 0;
    std::string fail_call, send_call;  // the first use of that call, likewise
    std::vector<DWORD> send = {platform::SERVICE_CONTROL_STOP};
    // The log, one token each: "r<state>" a status report ("!<exit code>" when
    // not 0, "/<service-specific code>" when not 0, "?" when another field is
    // not what the host always reports, "x" when the call failed), "L" a launch
    // of a suspended child ("L+" of a running one, "L!" failed), "J" the child
    // put into a job ("J!" failed), "R" the child let run, "T<code>" a
    // termination, "B<hertz>/<ms>" a tone, "S<ms>" a pause, "C<control>" a
    // control delivered; "?" also a stop that left the child running, a child
    // never let run, a call after STOPPED, and a string stored without its
    // terminator or with one inside. The console text, a 1 s pause there as
    // "~", and what went to standard error.
    std::string log;
    std::u16string console, errors, launch;  // launch: the last command line
    std::u16string module = u"C:\\agents\\site3\\qelnhost.exe";
    std::map<std::u16string, std::map<std::u16string, Value>> keys;  // by upper-case path, name
    std::set<std::u16string> denied;                                 // keys RegCreateKeyExW refuses
    std::map<std::uintptr_t, std::u16string> handles;  // key path, service name, "" manager
    std::uintptr_t next_handle = 0x1000;
    std::map<std::u16string, Service> services;
    std::map<std::uintptr_t, int> children;  // 1 running, 2 suspended, 0 ended
    DWORD child_exit = 0;                    // its exit code; a termination sets its own
    bool serving = false, stopping = false;  // a stop or shutdown was sent
    bool stopped = false;                    // STOPPED was reported
    platform::LPHANDLER_FUNCTION handler = nullptr;
    std::deque<DWORD> controls;
    std::set<void*> blocks;  // live heap blocks
};
extern State g;

void Reset();

}  // namespace sim

#endif
