// The thread pool on its own: queue work, then drain and stop.
#include <atomic>
#include <cstdio>

#include "VexloTool/ThreadPool.h"

using namespace VexloTool;

int main() {
    CThreadPool& pool = CThreadPool::Instance();
    pool.Init(4);

    std::atomic<int> done{0};
    for (int i = 0; i < 100; ++i)
        CThreadPool::Execute([&done] { ++done; });

    pool.Stop();    // refuses new work; the workers finish the queue, then end
    pool.UnInit();  // waits for the workers
    std::printf("%d of 100 jobs ran\n", done.load());
    return done == 100 ? 0 : 1;
}
