// pool_submit_cost.h: the caller's cost of CThreadPool::Execute, shared by
// the pool benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

#include "VexloTool/ThreadPool.h"
#include "vxplatform.h"

namespace vxbench {

// Nanoseconds of each of `samples` Execute calls, sorted. Both workers are
// blocked on a gate meanwhile, so each call only queues its callable.
inline std::vector<double> SortedSubmitCosts(int samples) {
    using VexloTool::CThreadPool;
    CThreadPool::Instance().Init(2);
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (int i = 0; i < 2; ++i)
        CThreadPool::Execute([gate] { WaitForSingleObject(gate, INFINITE); });
    std::vector<double> ns(samples);
    for (int i = 0; i < samples; ++i) {
        const auto start = std::chrono::steady_clock::now();
        CThreadPool::Execute([] {});
        ns[i] = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
                    .count();
    }
    SetEvent(gate);
    CThreadPool::Instance().Stop();
    CThreadPool::Instance().UnInit();
    CloseHandle(gate);
    std::sort(ns.begin(), ns.end());
    return ns;
}

}  // namespace vxbench
