// The asynchronous log writer: WriteLog from any thread never waits for the
// disk; UnInit writes what was accepted before it and closes the file.
#include "VexloTool/VXLogWrapper.h"

using namespace VexloTool;

int main() {
    CVXLogWrapper& log = CVXLogWrapper::Instance();
    if (!log.Init(L"example.log"))  // truncates; threshold VXLOG_INFO
        return 1;
    log.WriteLog(VXLOG_INFO, L"started %s, build %d", L"example", 42);  // %s is wide
    log.WriteLog(VXLOG_DEBUG, L"not written: below the threshold");
    log.Enable(true);  // threshold VXLOG_DEBUG
    log.WriteLog(VXLOG_DEBUG, L"written now, from %S", "a narrow string");
    log.Save();    // write the queue on this thread and flush
    log.UnInit();  // later calls do nothing until the next Init
    return 0;
}
