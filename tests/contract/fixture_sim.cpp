#include "tests/contract/fixture.h"

#include "platform/sim/sim.h"

namespace contract {

void FreshMachine() {
    sim::Reset();
}

void LongLivedChild(std::u16string* application, std::u16string* command_line) {
    *application = u"C:\\qeln\\contract\\child.exe";
    *command_line = u"child.exe wait";
    sim::AddExecutable(*application);
}

bool RunningOnWine() {
    return false;
}

std::size_t OpenHandles() {
    return sim::OpenHandles();
}

}  // namespace contract
