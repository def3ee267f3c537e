#include "platform/platform.h"
#include "service/entry.h"

int main(int argc, char** argv) {
    platform::ExitProcess(ProcessEntry(argc, argv));
    return 0;
}
